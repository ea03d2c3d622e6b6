// The pump protocol's frame rules over plain bytes: check data, request
// assembly and reply validation. Nothing here knows about Python; the binding
// maps a ReplyVerdict to a result code and builds the messages.
#include "comm/core/frame.hpp"

namespace comm::core {

namespace {

bool
equal_bytes(const std::uint8_t *a, const std::uint8_t *b,
            std::size_t size) noexcept
{
    for (std::size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

// Appends a view; tolerates {nullptr, 0}, which is how "nothing" arrives.
void
append(std::vector<std::uint8_t> &out, ByteView bytes)
{
    if (bytes.size != 0) {
        out.insert(out.end(), bytes.data, bytes.data + bytes.size);
    }
}

} // namespace

std::size_t
check_data_end(std::size_t size, std::size_t declared) noexcept
{
    if (size <= kUserDataOffset) {
        return size;
    }
    // Written as a comparison so that a huge `declared` cannot wrap around.
    if (declared >= size - kUserDataOffset) {
        return size;
    }
    return kUserDataOffset + declared;
}

std::uint8_t
check_data(ByteView data) noexcept
{
    const std::size_t declared =
        data.size > kUserDataOffset ? data.data[kLengthOffset] : 0;
    const std::size_t end = check_data_end(data.size, declared);
    // Only the low byte of the sum matters, so wrap-around would be harmless.
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < end; ++i) {
        sum += data.data[i];
    }
    return check_data_of_sum(sum);
}

std::vector<std::uint8_t>
build_request(ByteView frame_header, ByteView app_header, ByteView user_data,
              ByteView address, const std::uint8_t *channel)
{
    const std::size_t prefix_size = address.size + (channel ? 1 : 0);
    const std::size_t body_size =
        frame_header.size + app_header.size + user_data.size;

    std::vector<std::uint8_t> out;
    out.reserve(prefix_size + body_size + 1);
    // The radio prefix goes first on the wire but stays outside the check
    // data, so the frame's check byte is computed over the body alone.
    append(out, address);
    if (channel) {
        out.push_back(*channel);
    }
    append(out, frame_header);
    append(out, app_header);
    append(out, user_data);
    out.push_back(check_data(ByteView{out.data() + prefix_size, body_size}));
    return out;
}

ReplyVerdict
validate_reply(ByteView reply, ByteView frame_header,
               ByteView app_header) noexcept
{
    ReplyVerdict verdict{ReplyStatus::kSuccess, 0, 0, 0, 0};
    if (reply.size == 0) {
        verdict.status = ReplyStatus::kNoData;
        return verdict;
    }
    // Seven bytes, or fewer than the length byte promises, would make the
    // check-data rule read past the reply; such a reply never succeeds.
    if (reply.size <= kUserDataOffset ||
        reply.size < kFrameOverhead + reply.data[kLengthOffset]) {
        verdict.status = ReplyStatus::kTooShort;
        return verdict;
    }

    // The last byte received is the check data, whatever precedes it.
    const std::size_t last = reply.size - 1;
    const std::uint8_t expected = check_data(ByteView{reply.data, last});
    if (reply.data[last] != expected) {
        verdict.status = ReplyStatus::kBadCheckData;
        verdict.received_check = reply.data[last];
        verdict.expected_check = expected;
        return verdict;
    }

    // The reply is at least 8 bytes here, so both header ranges are inside.
    if (frame_header.size != kFrameHeaderSize ||
        !equal_bytes(reply.data, frame_header.data, kFrameHeaderSize)) {
        verdict.status = ReplyStatus::kBadHeader;
        return verdict;
    }
    if (app_header.size != kAppHeaderSize ||
        !equal_bytes(reply.data + kFrameHeaderSize, app_header.data,
                     kAppHeaderSize)) {
        verdict.status = ReplyStatus::kBadAppHeader;
        return verdict;
    }

    verdict.value_offset = kUserDataOffset;
    verdict.value_size = reply.data[kLengthOffset];
    return verdict;
}

} // namespace comm::core
