#pragma once

// A member that wants to hear about every new child context with a given name
// anywhere below its own context.
class BoltBase {
public:
    virtual ~BoltBase() = default;

    // Name of the child contexts this bolt wants.
    virtual const char* ContextName() const = 0;

    // Called with the new context current.
    virtual void OnContextCreated() = 0;
};
