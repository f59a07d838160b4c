#pragma once

// Polymorphic root of every context member and device object. Members are
// held through shared pointers to their most-derived type, and this base lets
// the context look at any of them through one common type.
class Object {
public:
    virtual ~Object() = default;
};
