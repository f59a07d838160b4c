#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "context/Autowired.h"
#include "context/ContextCreator.h"
#include "context/CoreContext.h"

namespace {

TEST(CurrentContext, FreshThreadSeesTheGlobalContext) {
    std::shared_ptr<CoreContext> seen;
    std::thread([&] { seen = CoreContext::Current(); }).join();
    EXPECT_EQ(seen, std::static_pointer_cast<CoreContext>(GlobalCoreContext::Instance()));
    EXPECT_TRUE(seen->IsGlobal());
}

TEST(CurrentContext, ScopeSetsAndRestoresAlsoOnException) {
    auto outer = CoreContext::Current();
    auto child = outer->NewChild();
    {
        CurrentContextScope scope(child);
        EXPECT_EQ(CoreContext::Current(), child);
        auto grandchild = child->NewChild();
        try {
            CurrentContextScope inner(grandchild);
            EXPECT_EQ(CoreContext::Current(), grandchild);
            throw std::runtime_error("leave");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(CoreContext::Current(), child);
    }
    EXPECT_EQ(CoreContext::Current(), outer);
}

TEST(TypeHash, MultipliesThenMixesSampledSignedCharacters) {
    EXPECT_EQ(TypeNameHash(""), 0x811C9DC5u);
    EXPECT_EQ(TypeNameHash("abc"), 0x439C2F4Bu);
    // 17 characters: every second one is sampled.
    EXPECT_EQ(TypeNameHash("N9Listener5FrameE"), 0x1008AB83u);
    // A byte above 0x7F is taken as a negative 8-bit value.
    EXPECT_EQ(TypeNameHash(" \xE9xyz"), 0xF2E4F985u);
}

struct Tracked {
    explicit Tracked(std::vector<int>* log, int id) : m_log(log), m_id(id) {}
    ~Tracked() { m_log->push_back(m_id); }
    std::vector<int>* m_log;
    int m_id;
};

TEST(ContextLifetime, TeardownListenersRunInOrderBeforeMembersGo) {
    std::vector<int> log;
    {
        auto context = CoreContext::Current()->NewChild();
        context->AddMember(std::make_shared<Tracked>(&log, 99));
        context->OnTeardown([&] { log.push_back(1); });
        context->OnTeardown([&] { log.push_back(2); });
        context->OnTeardown([&] { log.push_back(3); });
    }
    EXPECT_EQ(log, (std::vector<int>{1, 2, 3, 99}));
}

TEST(ContextLifetime, ChildrenAreListedWhileAliveAndForgottenAfter) {
    auto parent = CoreContext::Current()->NewChild();
    auto a = parent->NewChild();
    {
        auto b = parent->NewChild();
        EXPECT_EQ(parent->Children().size(), 2u);
        EXPECT_EQ(b->GetParent(), parent);
    }
    auto children = parent->Children();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0], a);
}

TEST(ContextLifetime, MembersDoNotKeepTheirContextAlive) {
    std::weak_ptr<CoreContext> weak;
    std::shared_ptr<ContextMember> member;
    {
        auto context = CoreContext::Current()->NewChild();
        CurrentContextScope scope(context);
        member = std::make_shared<ContextMember>("kept");
        context->AddMember(member);
        weak = context;
        EXPECT_EQ(member->GetContext(), context);
        EXPECT_EQ(member->GetSelf(), member);
    }
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(member->GetContext(), nullptr);
}

// --- keyed child contexts and bolts ---------------------------------------

extern const char kTestContextName[] = "Pipeline";

struct Creator : ContextMember, ContextCreator<kTestContextName, std::wstring> {};

struct RecordingBolt : ContextMember, BoltBase {
    const char* ContextName() const override { return kTestContextName; }
    void OnContextCreated() override { created.push_back(CoreContext::Current()); }
    std::vector<std::shared_ptr<CoreContext>> created;
};

TEST(ContextCreator, SameKeyGivesTheLiveContextWithoutANotice) {
    auto root = CoreContext::Current()->NewChild();
    CurrentContextScope scope(root);
    auto creator = std::make_shared<Creator>();
    root->AddMember(creator);

    auto first = creator->CreateContext(L"usb#a");
    ASSERT_TRUE(first);
    EXPECT_STREQ(first.GetName(), "Pipeline");
    EXPECT_EQ(first.GetContext()->GetParent(), root);

    auto again = creator->CreateContext(L"usb#a");
    EXPECT_EQ(again.GetContext(), first.GetContext());
    EXPECT_EQ(again.GetName(), nullptr);
}

TEST(ContextCreator, DroppedContextIsForgottenAndKeyCanBeReused) {
    auto root = CoreContext::Current()->NewChild();
    CurrentContextScope scope(root);
    auto creator = std::make_shared<Creator>();
    root->AddMember(creator);
    {
        auto notice = creator->CreateContext(L"usb#a");
        EXPECT_TRUE(creator->HasContexts());
    }
    EXPECT_FALSE(creator->HasContexts());
    auto notice = creator->CreateContext(L"usb#a");
    EXPECT_STREQ(notice.GetName(), "Pipeline");
}

TEST(ContextCreator, NoticeTellsBoltsWithTheNewContextCurrent) {
    auto root = CoreContext::Current()->NewChild();
    CurrentContextScope scope(root);
    auto creator = std::make_shared<Creator>();
    auto bolt = std::make_shared<RecordingBolt>();
    root->AddMember(creator);
    root->AddMember(bolt);

    std::shared_ptr<CoreContext> made;
    {
        auto notice = creator->CreateContext(L"usb#b");
        made = notice.GetContext();
        EXPECT_TRUE(bolt->created.empty()) << "told only when the notice goes";
    }
    ASSERT_EQ(bolt->created.size(), 1u);
    EXPECT_EQ(bolt->created[0], made);
}

TEST(ContextCreator, NoticeDestroyedDuringAnExceptionBroadcastsNothing) {
    auto root = CoreContext::Current()->NewChild();
    CurrentContextScope scope(root);
    auto creator = std::make_shared<Creator>();
    auto bolt = std::make_shared<RecordingBolt>();
    root->AddMember(creator);
    root->AddMember(bolt);
    try {
        auto notice = creator->CreateContext(L"usb#c");
        throw std::runtime_error("construction failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(bolt->created.empty());
    EXPECT_FALSE(creator->HasContexts()) << "the abandoned context was dropped";
}

TEST(ContextCreator, BoltsInSiblingContextsHearToo) {
    auto root = CoreContext::Current()->NewChild();
    CurrentContextScope scope(root);
    auto creator = std::make_shared<Creator>();
    root->AddMember(creator);
    auto sibling = root->NewChild();
    auto bolt = std::make_shared<RecordingBolt>();
    sibling->AddMember(bolt);
    { auto notice = creator->CreateContext(L"usb#d"); }
    EXPECT_EQ(bolt->created.size(), 1u);
}

}  // namespace
