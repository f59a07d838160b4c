#pragma once

#include <string>

#include "context/EventReceiver.h"

// Requests of the tracking pipeline (outside this system) to the device. The
// last three operations keep the pipeline's slot order and have no effect on
// any device of this system.
class DataPipelineListener : public virtual EventReceiver {
public:
    virtual void onRateLimit(bool limited) = 0;
    virtual void onToggleOrientation() = 0;
    // 0, 1, 2: full, half and quarter vertical resolution.
    virtual void onResolutionRequest(int level) = 0;
    virtual void onPipelineMessage(const std::string& message) = 0;
    virtual void onReserved1() = 0;
    virtual void onReserved2() = 0;
    virtual void onReserved3() = 0;
};
