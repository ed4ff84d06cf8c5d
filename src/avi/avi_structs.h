#pragma once

#include <array>
#include <cstdint>

namespace trunvex {

// The stream description handed to the AVI file layer, in the field order and widths of the
// published single-byte-character AVISTREAMINFO (140 bytes in memory). It is not the `strh`
// chunk on disk: the file layer derives that from it.
struct AVISTREAMINFO {
    std::uint32_t fccType = 0;
    std::uint32_t fccHandler = 0;
    std::uint32_t dwFlags = 0;
    std::uint32_t dwCaps = 0;
    std::uint16_t wPriority = 0;
    std::uint16_t wLanguage = 0;
    std::uint32_t dwScale = 0;
    std::uint32_t dwRate = 0;
    std::uint32_t dwStart = 0;
    std::uint32_t dwLength = 0;
    std::uint32_t dwInitialFrames = 0;
    std::uint32_t dwSuggestedBufferSize = 0;
    std::uint32_t dwQuality = 0;
    std::uint32_t dwSampleSize = 0;
    struct {
        std::int32_t left = 0;
        std::int32_t top = 0;
        std::int32_t right = 0;
        std::int32_t bottom = 0;
    } rcFrame;
    std::uint32_t dwEditCount = 0;
    std::uint32_t dwFormatChangeCount = 0;
    std::array<char, 64> szName{};
};

// The 40-byte video format.
struct BITMAPINFOHEADER {
    std::uint32_t biSize = 0;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biPlanes = 0;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::int32_t biXPelsPerMeter = 0;
    std::int32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0;
    std::uint32_t biClrImportant = 0;
};

// The 18-byte audio format.
struct WAVEFORMATEX {
    std::uint16_t wFormatTag = 0;
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    std::uint16_t cbSize = 0;
};

inline constexpr std::uint32_t BITMAPINFOHEADER_BYTES = 40;
inline constexpr std::uint32_t WAVEFORMATEX_BYTES = 18;

}  // namespace trunvex
