#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

namespace trunvex {

// What builds one sample: given the room the writer found for it, writes the sample at its
// start and returns the bytes written (never more than the room). A reference to a callable
// that outlives the call it is passed to, so handing one over neither copies nor allocates.
class SampleFill {
public:
    template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, SampleFill> &&
             std::is_nothrow_invocable_r_v<std::uint32_t, F&, std::span<std::uint8_t>>)
        // NOLINTNEXTLINE(google-explicit-constructor): a lambda stands in where a fill is asked for
        SampleFill(F&& fill)
    noexcept
        : target(const_cast<void*>(static_cast<const void*>(std::addressof(fill)))),
          invoke([](void* f, std::span<std::uint8_t> room) noexcept -> std::uint32_t {
              return (*static_cast<std::remove_reference_t<F>*>(f))(room);
          }) {}

    std::uint32_t operator()(std::span<std::uint8_t> room) const noexcept {
        return invoke(target, room);
    }

private:
    void* target;
    std::uint32_t (*invoke)(void*, std::span<std::uint8_t>) noexcept;
};

}  // namespace trunvex
