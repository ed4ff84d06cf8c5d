#pragma once

#include "common/byte_sink.h"

namespace trunvex {

// Sinks that keep nothing: for describing a recording without writing a file.
class NullSinkFactory final : public SinkFactory {
public:
    std::unique_ptr<ByteSink> open(const std::string& path, std::string& failure) noexcept override;
};

}  // namespace trunvex
