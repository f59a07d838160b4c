#include <gtest/gtest.h>

#include "context/Autowired.h"
#include "context/CoreContext.h"

namespace {

struct Widget {
    int value = 7;
};

struct Base : Object {};
struct Derived : Base {};

struct Gadget : ContextMember {
    Gadget() : ContextMember("Gadget") { ++constructed; }
    static int constructed;
};
int Gadget::constructed = 0;

class SlotTest : public ::testing::Test {
protected:
    std::shared_ptr<CoreContext> context = CoreContext::Current()->NewChild();
    CurrentContextScope scope{context};
};

TEST_F(SlotTest, FindsMemberInOwnContextOrAncestor) {
    auto widget = std::make_shared<Widget>();
    context->AddMember(widget);
    Autowired<Widget> here;
    EXPECT_EQ(here.shared(), widget);

    auto child = context->NewChild();
    CurrentContextScope inner(child);
    Autowired<Widget> below;
    EXPECT_EQ(below.get(), widget.get());
}

TEST_F(SlotTest, MembersAreFoundOnlyByTheirExactDynamicType) {
    std::shared_ptr<Base> asBase = std::make_shared<Derived>();
    context->AddMember(asBase);
    EXPECT_EQ(context->FindMember<Base>(), nullptr);
    EXPECT_EQ(context->FindMember<Derived>().get(), asBase.get());
    EXPECT_EQ(context->MembersOf<Base>().size(), 1u);
}

TEST_F(SlotTest, PendingSlotIsFilledOnlyByAnAdditionToItsOwnContext) {
    auto child = context->NewChild();
    CurrentContextScope inner(child);
    Autowired<Widget> pending;
    EXPECT_FALSE(pending.IsAutowired());

    // A T appears in the parent: nothing is re-checked yet.
    context->AddMember(std::make_shared<Widget>());
    EXPECT_FALSE(pending.IsAutowired());

    // An unrelated addition to the parent does not re-check the child's slots.
    context->AddMember(std::make_shared<Gadget>());
    EXPECT_FALSE(pending.IsAutowired());

    // Any addition to the slot's own context does.
    child->AddMember(std::make_shared<int>(3));
    EXPECT_TRUE(pending.IsAutowired());
    EXPECT_EQ(pending->value, 7);
}

TEST_F(SlotTest, SlotDestroyedWhilePendingIsForgotten) {
    { Autowired<Widget> gone; }
    // Re-checking pending entries must not touch the dead slot.
    context->AddMember(std::make_shared<Widget>());
    Autowired<Widget> fresh;
    EXPECT_TRUE(fresh.IsAutowired());
}

TEST_F(SlotTest, TwoMembersOfOneTypeMakeLookupsAmbiguous) {
    context->AddMember(std::make_shared<Widget>());
    context->AddMember(std::make_shared<Widget>());
    try {
        context->FindMember<Widget>();
        FAIL() << "expected the ambiguous-match error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "An autowiring operation resulted in an ambiguous match");
    }
    EXPECT_THROW(Autowired<Widget>(), std::runtime_error);
}

TEST_F(SlotTest, AutoRequiredCreatesOnceAndAddsToTheSlotContext) {
    Gadget::constructed = 0;
    AutoRequired<Gadget> first;
    AutoRequired<Gadget> second;
    EXPECT_EQ(Gadget::constructed, 1);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(context->FindMember<Gadget>(), first.shared());
    EXPECT_EQ(first->GetContext(), context);
}

TEST_F(SlotTest, ExplicitFillAddsTheMember) {
    Autowired<Gadget> slot;
    EXPECT_FALSE(slot);
    slot = std::make_shared<Gadget>();
    EXPECT_TRUE(slot);
    EXPECT_EQ(context->FindMember<Gadget>(), slot.shared());
}

TEST(SlotContext, SlotOfADestroyedContextReportsTearingDown) {
    std::unique_ptr<Autowired<Widget>> slot;
    {
        auto context = CoreContext::Current()->NewChild();
        CurrentContextScope scope(context);
        slot = std::make_unique<Autowired<Widget>>();
    }
    try {
        slot->LockContext();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Attempted to autowire in a context that is tearing down");
    }
}

struct FakeDeferred : DeferredBase {
    explicit FakeDeferred(bool alive) : m_alive(alive) {}
    bool Check() override { return false; }
    bool SlotAlive() const override { return m_alive; }
    bool m_alive;
};

TEST_F(SlotTest, SecondPendingEntryAtALiveSlotsAddressIsRefused) {
    Autowired<Widget> slot;  // pending
    try {
        context->Defer(&slot, std::make_unique<FakeDeferred>(true));
        // The real entry's slot is alive: the call above must have thrown.
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "A slot is being autowired, but a deferred instance already exists at this "
                     "location");
    }
}

}  // namespace
