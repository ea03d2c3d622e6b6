// libFuzzer target for the pure core. The input is validated as a reply
// against every command's reply header (and some malformed headers), each
// verdict compared with a deliberately naive re-implementation of the rules;
// the same bytes then drive build_request. Any disagreement aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "comm/core/frame.hpp"

namespace {

using comm::core::ByteView;
using comm::core::ReplyStatus;
using comm::core::ReplyVerdict;

void
require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_reply: invariant violated: %s\n", what);
        std::abort();
    }
}

const std::uint8_t kReplyHeader[5] = {0x55, 0xAA, 0x05, 0x06, 0x00};
const std::uint8_t kRequestHeader[5] = {0x55, 0xAA, 0x05, 0x06, 0x01};

// Reply application headers of the eleven commands.
const std::uint8_t kReplyAppHeaders[][2] = {
    {0x21, 0x00}, {0x22, 0x00}, {0x49, 0x0F}, {0x4B, 0x01},
    {0x4C, 0x04}, {0x50, 0x04}, {0x57, 0x04}, {0x77, 0x01},
    {0x78, 0x01}, {0xA3, 0x02}, {0xA8, 0x01},
};

// Element by element: offsets 0-6 always count, later ones only when the
// sequence is longer than seven and they lie within element 6's count.
std::uint8_t
naive_check(const std::uint8_t *data, std::size_t size)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (i < 7 || (size > 7 && i - 7 < data[6])) {
            sum = (sum + data[i]) & 0xFFu;
        }
    }
    return static_cast<std::uint8_t>(0xFFu - sum);
}

bool
same(const std::uint8_t *a, const std::uint8_t *b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

void
check_reply(const std::uint8_t *data, std::size_t size, ByteView frame_header,
            ByteView app_header)
{
    const ReplyVerdict v =
        comm::core::validate_reply(ByteView{data, size}, frame_header,
                                   app_header);

    // The expected verdict, test by test in the documented order.
    if (size == 0) {
        require(v.status == ReplyStatus::kNoData, "empty -> kNoData");
        return;
    }
    if (size < 8 || size < 8u + data[6]) {
        require(v.status == ReplyStatus::kTooShort, "short -> kTooShort");
        return;
    }
    const std::uint8_t want = naive_check(data, size - 1);
    const std::uint8_t got = data[size - 1];
    if (got != want) {
        require(v.status == ReplyStatus::kBadCheckData, "-> kBadCheckData");
        require(v.received_check == got, "received_check is the last byte");
        require(v.expected_check == want, "expected_check is the check");
        return;
    }
    if (frame_header.size != 5 || !same(data, frame_header.data, 5)) {
        require(v.status == ReplyStatus::kBadHeader, "-> kBadHeader");
        return;
    }
    if (app_header.size != 2 || !same(data + 5, app_header.data, 2)) {
        require(v.status == ReplyStatus::kBadAppHeader, "-> kBadAppHeader");
        return;
    }
    require(v.status == ReplyStatus::kSuccess, "-> kSuccess");

    // What a success promises to the binding, checked on its own terms.
    require(size >= 8u + data[6], "success: size >= 8 + N");
    require(data[size - 1] == comm::core::check_data(ByteView{data, size - 1}),
            "success: last byte is the check data");
    require(same(data, frame_header.data, 5) &&
                same(data + 5, app_header.data, 2),
            "success: headers match");
    require(v.value_offset == 7 && v.value_size == data[6],
            "success: value is bytes 7 .. 6 + N");
    require(v.value_offset + v.value_size < size,
            "success: value lies inside the reply, before its check byte");
}

void
check_request(const std::uint8_t *data, std::size_t size)
{
    // Byte 0 chooses the address length (0-4), byte 1 bit 0 whether a channel
    // (byte 2) is sent, byte 3 the command; then the address and user data.
    if (size < 4) {
        return;
    }
    const std::size_t address_size = data[0] % 5;
    const bool has_channel = (data[1] & 1) != 0;
    const std::uint8_t channel = data[2];
    std::size_t n = size - 4;
    if (n > 255) {
        n = 255;
    }
    if (address_size > n) {
        return;
    }
    const std::uint8_t *address = data + 4;
    const std::uint8_t *user_data = data + 4 + address_size;
    n -= address_size;
    const std::uint8_t app[2] = {data[3], static_cast<std::uint8_t>(n)};

    const std::vector<std::uint8_t> out = comm::core::build_request(
        ByteView{kRequestHeader, 5}, ByteView{app, 2}, ByteView{user_data, n},
        ByteView{address, address_size}, has_channel ? &channel : nullptr);

    const std::size_t prefix = address_size + (has_channel ? 1 : 0);
    require(out.size() == prefix + 8 + n, "request: prefix + 8 + N bytes");
    require(same(out.data(), address, address_size),
            "request: address first");
    require(!has_channel || out[address_size] == channel,
            "request: then the channel");
    const std::uint8_t *frame = out.data() + prefix;
    require(same(frame, kRequestHeader, 5) && same(frame + 5, app, 2) &&
                same(frame + 7, user_data, n),
            "request: header, app header, user data");
    require(frame[7 + n] == naive_check(frame, 7 + n),
            "request: last byte is the check of the frame");

    // A request is itself a well-formed frame.
    const ReplyVerdict v = comm::core::validate_reply(
        ByteView{frame, 8 + n}, ByteView{kRequestHeader, 5}, ByteView{app, 2});
    require(v.status == ReplyStatus::kSuccess && v.value_size == n,
            "request: validates as a frame");
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    for (const auto &app : kReplyAppHeaders) {
        check_reply(data, size, ByteView{kReplyHeader, 5}, ByteView{app, 2});
    }
    // Headers taken from the input itself make kSuccess reachable for any
    // command; wrong-sized headers must never match.
    if (size >= 7) {
        check_reply(data, size, ByteView{data, 5}, ByteView{data + 5, 2});
        check_reply(data, size, ByteView{data, 4}, ByteView{data + 5, 2});
        check_reply(data, size, ByteView{data, 6}, ByteView{data + 5, 2});
        check_reply(data, size, ByteView{data, 5}, ByteView{data + 5, 1});
    }
    if (size >= 8) {
        check_reply(data, size, ByteView{data, 5}, ByteView{data + 5, 3});
    }
    check_reply(data, size, ByteView{kReplyHeader, 5}, ByteView{nullptr, 0});

    require(comm::core::check_data_end(size, size > 7 ? data[6] : 0) <= size,
            "check_data_end stays inside");
    require(comm::core::check_data(ByteView{data, size}) ==
                naive_check(data, size),
            "check_data agrees with the element-wise rule");
    require(comm::core::read_size(size) ==
                (size > comm::core::kMaxReadSize ? comm::core::kMaxReadSize
                                                  : size),
            "read_size is min(size, 128)");

    check_request(data, size);
    return 0;
}
