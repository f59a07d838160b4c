#pragma once

#include "context/EventReceiver.h"
#include "source/DataStructures/Tyvo.pb.h"

// Receives, in process, every event the resource host publishes to its
// clients. Called synchronously on the publishing thread.
class APIMessageListener : public virtual EventReceiver {
public:
    virtual void onAPIMessage(const Tyvo::Message::Message& event) = 0;
};
