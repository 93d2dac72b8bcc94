#pragma once

#include <string>
#include <vector>

#include "platform/ipc/value.hpp"
#include "platform/ipc/wire.hpp"

namespace tarnel::ipc {

// The kind an argument must have.
enum class Kind {
    data,
    text,
    integer,  // a 64-bit integer; a float is refused, even an integral one
    number,   // a double; an integer whose magnitude is at most 2^53 is taken as that double
    boolean
};

struct Argument {
    std::string name;
    Kind kind = Kind::text;
    // Whether the argument may be nil (absent).
    bool nullable = false;
};

struct Operation {
    std::string selector;
    std::vector<Argument> arguments;
};

// What a service offers: its operations, each with the arguments it takes.
// A service validates every request against it before a handler sees the
// request.
class Interface {
public:
    // Throws std::invalid_argument for a selector given twice or an argument
    // named twice in one operation.
    explicit Interface(std::vector<Operation> operations);

    [[nodiscard]] const std::vector<Operation>& operations() const noexcept { return operations_; }
    [[nodiscard]] const Operation* find(std::string_view selector) const noexcept;

    // The request with its arguments in their declared kinds (an integer sent
    // for a number argument becomes that double). Throws FrameError for an
    // unknown selector, an argument of another kind, a nil argument that is
    // not nullable, an integer for a number that no double holds exactly,
    // and an argument the operation does not take.
    [[nodiscard]] Request validate(Request request) const;

private:
    std::vector<Operation> operations_;
};

}  // namespace tarnel::ipc
