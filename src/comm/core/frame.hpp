// The pump protocol's frame rules over plain bytes, free of Python: check
// data, request assembly and reply validation. Every read is bounded by the
// view's size; a short or garbled reply is a verdict, never an error.
//
// Frame: 55 AA 05 <product> <direction> | <command> <N> | N user-data bytes |
// check byte, where the check byte is 255 - (sum of the bytes before it) mod
// 256. A LoRa radio prefix (address bytes, then channel) may precede a
// request on the wire; it lies outside the frame and its check data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace comm::core {

struct ByteView {
    const std::uint8_t *data;
    std::size_t size;
};

inline constexpr std::size_t kFrameHeaderSize = 5;
inline constexpr std::size_t kAppHeaderSize = 2;
// Frame header, application header and check byte around the user data.
inline constexpr std::size_t kFrameOverhead = 8;
// Offset of the user-data length in a frame (application header byte 1).
inline constexpr std::size_t kLengthOffset = 6;
inline constexpr std::size_t kUserDataOffset = 7;
// No single read of a reply asks for more than this many bytes.
inline constexpr std::size_t kMaxReadSize = 128;

// Number of leading elements that the check-data rule sums for a sequence of
// `size` elements whose element 6 is `declared`: the first seven, plus the
// `declared` user-data bytes after them when there are more than seven, but
// never past the end of the sequence.
std::size_t check_data_end(std::size_t size, std::size_t declared) noexcept;

// The check byte for a sum of byte values: the low byte of (sum ^ 0xFFFF).
inline std::uint8_t
check_data_of_sum(std::uint64_t sum) noexcept
{
    return static_cast<std::uint8_t>((sum ^ 0xFFFFu) & 0xFFu);
}

// The check byte of `data` by the rule above.
std::uint8_t check_data(ByteView data) noexcept;

// The bytes written for one request: frame header, application header, user
// data, the check byte over those (by check_data), then the channel (when
// `channel` is not null) and the address bytes in front, address first.
std::vector<std::uint8_t> build_request(ByteView frame_header,
                                        ByteView app_header,
                                        ByteView user_data, ByteView address,
                                        const std::uint8_t *channel);

// How many bytes each read of a reply asks for.
inline std::size_t
read_size(std::size_t recv_len) noexcept
{
    return recv_len > kMaxReadSize ? kMaxReadSize : recv_len;
}

// Reply defects, in the order in which they are tested.
enum class ReplyStatus : std::uint8_t {
    kSuccess,
    kNoData,   // nothing received
    kTooShort, // 7 bytes or fewer, or under 8 + its own length byte (byte 6)
    kBadCheckData, // last byte is not the check data of the bytes before it
    kBadHeader,    // bytes 0-4 differ from the expected frame header
    kBadAppHeader, // bytes 5-6 differ from the expected application header
};

struct ReplyVerdict {
    ReplyStatus status;
    std::uint8_t received_check; // kBadCheckData: the reply's last byte
    std::uint8_t expected_check; // kBadCheckData: what it should have been
    std::size_t value_offset;    // kSuccess: the user data is
    std::size_t value_size;      //   reply[value_offset, +value_size)
};

// Validates a reply against the expected frame header (normally 5 bytes) and
// application header (normally 2 bytes); a header of another length never
// matches. The last byte received is always taken as the check data.
ReplyVerdict validate_reply(ByteView reply, ByteView frame_header,
                            ByteView app_header) noexcept;

} // namespace comm::core
