#include "cli/name_text.h"

#include <array>
#include <cstdint>

namespace trunvex {
namespace {

// The length of the well-formed UTF-8 sequence at `at`, 0 when it is not one.
std::size_t sequenceLength(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return overlong || surrogate || code > 0x10FFFF ? 0 : length;
}

// C0 controls, DEL and the C1 controls (U+0080 to U+009F, two bytes in UTF-8): the characters
// a terminal may act on instead of showing.
bool isControl(std::string_view text, std::size_t at, std::size_t length) noexcept {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (length == 1) {
        return lead < 0x20 || lead == 0x7F;
    }
    return length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
}

template <typename Put>
void putEscape(Put& put, unsigned char byte) {
    constexpr std::string_view NAMED = "abtnvfr";  // \a (7) to \r (13)
    if (byte >= 7 && byte <= 13) {
        const char escape[] = {'\\', NAMED[byte - 7u]};
        put(std::string_view(escape, sizeof escape));
        return;
    }
    const char escape[] = {'\\', static_cast<char>('0' + (byte >> 6)),
                           static_cast<char>('0' + ((byte >> 3) & 7)),
                           static_cast<char>('0' + (byte & 7))};
    put(std::string_view(escape, sizeof escape));
}

bool needsQuoting(std::string_view name) noexcept {
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = sequenceLength(name, at);
        if (length == 0 || isControl(name, at, length)) {
            return true;
        }
        at += length;
    }
    return false;
}

// Hands the name, quoted where needed, to `put` piece by piece: printable runs inside '...',
// the rest inside $'...' as escapes.
template <typename Put>
void putShownName(std::string_view name, Put& put) {
    if (!needsQuoting(name)) {
        put(name);
        return;
    }
    enum class Mode { NONE, QUOTED, ESCAPED } mode = Mode::NONE;
    const auto enter = [&](Mode wanted) {
        if (mode != wanted) {
            put(mode == Mode::NONE ? "" : "'");
            put(wanted == Mode::QUOTED ? "'" : "$'");
            mode = wanted;
        }
    };
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = sequenceLength(name, at);
        if (length == 0 || isControl(name, at, length)) {
            enter(Mode::ESCAPED);
            const std::size_t bytes = length == 0 ? 1 : length;
            for (std::size_t i = 0; i < bytes; ++i) {
                putEscape(put, static_cast<unsigned char>(name[at + i]));
            }
            at += bytes;
            continue;
        }
        enter(Mode::QUOTED);
        put(name[at] == '\'' ? std::string_view("'\\''") : name.substr(at, length));
        at += length;
    }
    put("'");
}

}  // namespace

std::string shownName(std::string_view name) {
    std::string out;
    auto append = [&](std::string_view piece) { out += piece; };
    putShownName(name, append);
    return out;
}

void printShownName(std::FILE* stream, std::string_view name) noexcept {
    auto write = [&](std::string_view piece) {
        std::fwrite(piece.data(), 1, piece.size(), stream);
    };
    putShownName(name, write);
}

bool isValidUtf8(std::string_view text) noexcept {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequenceLength(text, at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string base64Of(std::string_view bytes) {
    constexpr std::string_view DIGITS =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        const std::size_t left = bytes.size() - at;
        std::uint32_t group = static_cast<unsigned char>(bytes[at]) << 16;
        if (left > 1) {
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
        }
        if (left > 2) {
            group |= static_cast<unsigned char>(bytes[at + 2]);
        }
        out += DIGITS[group >> 18];
        out += DIGITS[(group >> 12) & 0x3F];
        out += left > 1 ? DIGITS[(group >> 6) & 0x3F] : '=';
        out += left > 2 ? DIGITS[group & 0x3F] : '=';
    }
    return out;
}

}  // namespace trunvex
