#include "platform/ipc/interface.hpp"

#include <cstdint>
#include <set>
#include <stdexcept>

namespace tarnel::ipc {

namespace {

// Every integer of at most this magnitude is a double exactly.
constexpr std::int64_t largestExactInteger = std::int64_t{1} << 53;

bool hasKind(Value& value, Kind kind) {
    switch (kind) {
    case Kind::data:
        return std::holds_alternative<Data>(value);
    case Kind::text:
        return std::holds_alternative<std::string>(value);
    case Kind::integer:
        return std::holds_alternative<std::int64_t>(value);
    case Kind::number:
        if (const auto* integer = std::get_if<std::int64_t>(&value)) {
            if (*integer < -largestExactInteger || *integer > largestExactInteger) return false;
            value = static_cast<double>(*integer);
        }
        return std::holds_alternative<double>(value);
    case Kind::boolean:
        return std::holds_alternative<bool>(value);
    }
    return false;
}

}  // namespace

Interface::Interface(std::vector<Operation> operations) : operations_(std::move(operations)) {
    std::set<std::string_view> selectors;
    for (const auto& operation : operations_) {
        if (!selectors.insert(operation.selector).second) {
            throw std::invalid_argument("the selector " + operation.selector + " is given twice");
        }
        std::set<std::string_view> names;
        for (const auto& argument : operation.arguments) {
            if (!names.insert(argument.name).second) {
                throw std::invalid_argument("the argument " + argument.name + " of " + operation.selector +
                                            " is given twice");
            }
        }
    }
}

const Operation* Interface::find(std::string_view selector) const noexcept {
    for (const auto& operation : operations_) {
        if (operation.selector == selector) return &operation;
    }
    return nullptr;
}

Request Interface::validate(Request request) const {
    const Operation* operation = find(request.selector);
    if (operation == nullptr) throw FrameError("the selector is unknown");
    std::size_t present = 0;
    for (const auto& argument : operation->arguments) {
        const auto entry = request.arguments.find(argument.name);
        if (entry == request.arguments.end()) {
            if (!argument.nullable) throw FrameError("the argument " + argument.name + " is nil");
            continue;
        }
        ++present;
        if (!hasKind(entry->second, argument.kind)) {
            throw FrameError("the argument " + argument.name + " is of another kind");
        }
    }
    if (present != request.arguments.size()) throw FrameError("the request carries an argument the operation does not take");
    return request;
}

}  // namespace tarnel::ipc
