#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace skrib {

class Defaults;

/// The capsule size setting and the fixed geometry of each size, in device-independent pixels.
/// Kept in the user-defaults store under "capsuleSize" as its raw value.
class CapsuleSize {
public:
    enum Case { small, medium, large };

    static constexpr const char* defaultsKey = "capsuleSize";

    constexpr CapsuleSize(Case value)
        : value_(value) {}

    /// The size whose raw value is exactly `raw` ("small", "medium", "large"), or none.
    static std::optional<CapsuleSize> fromRawValue(std::string_view raw);
    /// small, medium, large: the order the settings offer them in.
    static constexpr std::array<CapsuleSize, 3> allCases() { return {small, medium, large}; }
    /// The stored size; medium when nothing, or nothing recognisable, is stored.
    static CapsuleSize stored(const Defaults& defaults);
    static void save(Defaults& defaults, CapsuleSize size);

    Case value() const { return value_; }
    std::string_view rawValue() const;
    /// "Small", "Medium" or "Large".
    std::string_view displayName() const;
    int width() const { return geometry().width; }
    int height() const { return geometry().height; }
    int fontSize() const { return geometry().fontSize; }
    int eqHeight() const { return geometry().eqHeight; }
    int horizontalPad() const { return geometry().horizontalPad; }
    int errorWidth() const { return geometry().errorWidth; }

    friend bool operator==(CapsuleSize a, CapsuleSize b) { return a.value_ == b.value_; }

private:
    struct Geometry {
        int width, height, fontSize, eqHeight, horizontalPad, errorWidth;
    };
    const Geometry& geometry() const;

    Case value_;
};

} // namespace skrib
