#include "firmware/EmulatedBus.h"

bool IsEmulatedBus(const EmulatedBusEvidence& evidence) {
    if (evidence.declared == "umockdev") {
        return evidence.umockdevPreloaded && evidence.umockdevTestBed;
    }
    if (evidence.declared == "dummy_hcd") {
        return evidence.dummyHostController;
    }
    return false;
}

bool RunsOnEmulatedBus() { return IsEmulatedBus(GatherEmulatedBusEvidence()); }
