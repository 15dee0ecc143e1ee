#include "ui/indicator/CapsuleSize.h"

#include "platform/Defaults.h"

#include <string>

namespace skrib {
namespace {

struct Row {
    std::string_view rawValue;
    std::string_view displayName;
};

constexpr std::array<Row, 3> rows{{
    {"small", "Small"},
    {"medium", "Medium"},
    {"large", "Large"},
}};

} // namespace

const CapsuleSize::Geometry& CapsuleSize::geometry() const {
    //                                      width height font eq  pad errorWidth
    static constexpr std::array<Geometry, 3> table{
        {{130, 26, 11, 14, 10, 190}, {200, 34, 13, 22, 14, 250}, {300, 46, 16, 32, 20, 340}}};
    return table[static_cast<std::size_t>(value_)];
}

std::optional<CapsuleSize> CapsuleSize::fromRawValue(std::string_view raw) {
    for (const CapsuleSize size : allCases()) {
        if (size.rawValue() == raw) {
            return size;
        }
    }
    return std::nullopt;
}

CapsuleSize CapsuleSize::stored(const Defaults& defaults) {
    if (const auto raw = defaults.stringValue(defaultsKey)) {
        if (const auto size = fromRawValue(*raw)) {
            return *size;
        }
    }
    return medium;
}

void CapsuleSize::save(Defaults& defaults, CapsuleSize size) {
    defaults.set(defaultsKey, DefaultsValue(std::string(size.rawValue())));
}

std::string_view CapsuleSize::rawValue() const {
    return rows[static_cast<std::size_t>(value_)].rawValue;
}

std::string_view CapsuleSize::displayName() const {
    return rows[static_cast<std::size_t>(value_)].displayName;
}

} // namespace skrib
