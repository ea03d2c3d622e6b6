// Unit tests of the pure protocol core (comm/core/frame.hpp): check data,
// request assembly, read size and reply validation. Every expected frame and
// check byte is written out literally; sums are given in comments so a reader
// can verify them by hand.
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "comm/core/frame.hpp"

namespace {

using comm::core::build_request;
using comm::core::ByteView;
using comm::core::check_data;
using comm::core::check_data_end;
using comm::core::read_size;
using comm::core::ReplyStatus;
using comm::core::ReplyVerdict;
using comm::core::validate_reply;

using Bytes = std::vector<std::uint8_t>;

ByteView
view(const Bytes &bytes)
{
    return ByteView{bytes.data(), bytes.size()};
}

const Bytes kRequestHeader{0x55, 0xAA, 0x05, 0x06, 0x01};
const Bytes kReplyHeader{0x55, 0xAA, 0x05, 0x06, 0x00};

// Reply application headers of the command table.
const Bytes kPumpStatusReply{0x4B, 0x01};
const Bytes kStartControlReply{0x21, 0x00};
const Bytes kKvoRateReply{0x50, 0x04};
const Bytes kRemainTimeReply{0xA3, 0x02};
const Bytes kInfusionParameterReply{0x49, 0x0F};

// The reply to GET_PUMP_STATUS with value 02; sum 0x158.
const Bytes kGoodPumpStatus{0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0x01, 0x02,
                            0xA7};

ReplyVerdict
validate_pump_status(const Bytes &reply)
{
    return validate_reply(view(reply), view(kReplyHeader),
                          view(kPumpStatusReply));
}

// The user data a successful verdict points at.
Bytes
value_of(const Bytes &reply, const ReplyVerdict &verdict)
{
    const auto first = reply.begin() +
                       static_cast<std::ptrdiff_t>(verdict.value_offset);
    const auto size = static_cast<std::ptrdiff_t>(verdict.value_size);
    return Bytes(first, first + size);
}

// --- check data -----------------------------------------------------------

COMM_TEST(check_data_end_stops_at_the_end_of_the_sequence)
{
    COMM_CHECK_EQ(check_data_end(0, 0), 0u);
    COMM_CHECK_EQ(check_data_end(3, 200), 3u);
    COMM_CHECK_EQ(check_data_end(7, 5), 7u);
    // Past seven elements, element 6 decides how many more are read.
    COMM_CHECK_EQ(check_data_end(8, 0), 7u);
    COMM_CHECK_EQ(check_data_end(8, 1), 8u);
    COMM_CHECK_EQ(check_data_end(9, 1), 8u);
    COMM_CHECK_EQ(check_data_end(9, 2), 9u);
    COMM_CHECK_EQ(check_data_end(9, 4), 9u);
    COMM_CHECK_EQ(check_data_end(300, 255), 262u);
}

COMM_TEST(check_data_end_does_not_wrap_for_huge_lengths)
{
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    COMM_CHECK_EQ(check_data_end(kMax, kMax), kMax);
    COMM_CHECK_EQ(check_data_end(kMax, kMax - 3), kMax);
    COMM_CHECK_EQ(check_data_end(kMax, 5), std::size_t{12});
    COMM_CHECK_EQ(check_data_end(20, kMax), 20u);
}

COMM_TEST(check_data_of_request_and_reply_frames)
{
    // GET_PUMP_STATUS request: sum 0x156.
    COMM_CHECK_EQ(check_data(view({0x55, 0xAA, 0x05, 0x06, 0x01, 0x4B, 0x00})),
                  0xA9);
    // GET_KVO_RATE request with user data 01: sum 0x15D.
    COMM_CHECK_EQ(
        check_data(view({0x55, 0xAA, 0x05, 0x06, 0x01, 0x50, 0x01, 0x01})),
        0xA2);
    // GET_PUMP_STATUS reply without its check byte: sum 0x158.
    COMM_CHECK_EQ(
        check_data(view({0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0x01, 0x02})),
        0xA7);
    // The whole reply, check byte included: N = 1, so the ninth is not read.
    COMM_CHECK_EQ(check_data(view(kGoodPumpStatus)), 0xA7);
    // GET_INFUSION_PARAMETER reply, 15 bytes 01..0F: sum 0x1DA.
    COMM_CHECK_EQ(check_data(view({0x55, 0xAA, 0x05, 0x06, 0x00, 0x49, 0x0F,
                                   0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                   0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E,
                                   0x0F})),
                  0x25);
}

COMM_TEST(check_data_reads_seven_then_the_declared_user_data)
{
    // Exactly seven: all of them, whatever element 6 says (sum 0x255).
    COMM_CHECK_EQ(check_data(view({0x55, 0xAA, 0x05, 0x06, 0x01, 0x4B, 0xFF})),
                  0xAA);
    // Element 6 == 0: bytes after the seventh are ignored.
    COMM_CHECK_EQ(
        check_data(view({0x55, 0xAA, 0x05, 0x06, 0x01, 0x4B, 0x00, 0xA9})),
        0xA9);
    COMM_CHECK_EQ(check_data(view({0x55, 0xAA, 0x05, 0x06, 0x01, 0x4B, 0x00,
                                   0x12, 0x34, 0x56})),
                  0xA9);
    // N = 255 user-data bytes of FF, then two that must not count:
    // 0x252 + 255 * 0xFF = 0x10053 -> AC (with the two: 0x10056 -> A9).
    Bytes longest{0x55, 0xAA, 0x05, 0x06, 0x00, 0x49, 0xFF};
    longest.insert(longest.end(), 255, 0xFF);
    longest.push_back(0x01);
    longest.push_back(0x02);
    COMM_CHECK_EQ(check_data(view(longest)), 0xAC);
}

COMM_TEST(check_data_at_the_low_byte_boundaries)
{
    // Low byte of the sum 0xFF -> 00, 0x00 -> FF, also past 0xFF.
    COMM_CHECK_EQ(check_data(view({0xFF, 0, 0, 0, 0, 0, 0})), 0x00);
    COMM_CHECK_EQ(check_data(view({0x80, 0x7F, 0, 0, 0, 0, 0})), 0x00);
    COMM_CHECK_EQ(check_data(view({0, 0, 0, 0, 0, 0, 0})), 0xFF);
    COMM_CHECK_EQ(check_data(view({0xFF, 0x01, 0, 0, 0, 0, 0})), 0xFF);
    // The same with user data counted: 0x1FF -> 00, 0x200 -> FF.
    COMM_CHECK_EQ(check_data(view({0xFF, 0xFF, 0, 0, 0, 0, 0x01, 0x00})),
                  0x00);
    COMM_CHECK_EQ(check_data(view({0xFF, 0xFF, 0, 0, 0, 0, 0x01, 0x01})),
                  0xFF);
}

COMM_TEST(check_data_of_short_sequences_sums_what_exists)
{
    COMM_CHECK_EQ(check_data(ByteView{nullptr, 0}), 0xFF);
    COMM_CHECK_EQ(check_data(view({0x01, 0x02})), 0xFC);
    COMM_CHECK_EQ(check_data(view({0x55, 0xAA, 0x05, 0x06, 0x01, 0x4B})),
                  0xA9);  // sum 0x156
    // Declares 4 user-data bytes, holds 2: sum of all nine, 0x15C.
    COMM_CHECK_EQ(check_data(view({0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0x04,
                                   0x01, 0x02})),
                  0xA3);
}

COMM_TEST(check_data_reads_only_inside_the_view)
{
    // The buffer goes on beyond the view; those bytes must not count.
    const Bytes buffer{0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0x04,
                       0x01, 0x02, 0xFF, 0xFF};
    COMM_CHECK_EQ(check_data(ByteView{buffer.data(), 9}), 0xA3);
    COMM_CHECK_EQ(check_data(ByteView{buffer.data(), 6}), 0xAA);  // 0x155
}

// --- request assembly -----------------------------------------------------

COMM_TEST(build_request_without_prefix)
{
    const ByteView none{nullptr, 0};
    COMM_CHECK_EQ(build_request(view(kRequestHeader), view({0x4B, 0x00}),
                                none, none, nullptr),
                  Bytes({0x55, 0xAA, 0x05, 0x06, 0x01, 0x4B, 0x00, 0xA9}));
    COMM_CHECK_EQ(build_request(view(kRequestHeader), view({0x50, 0x01}),
                                view({0x01}), none, nullptr),
                  Bytes({0x55, 0xAA, 0x05, 0x06, 0x01, 0x50, 0x01, 0x01,
                         0xA2}));
    // Empty views with a non-null pointer write nothing either (sum 0x12C).
    const std::uint8_t dummy = 0x99;
    COMM_CHECK_EQ(build_request(view(kRequestHeader), view({0x21, 0x00}),
                                ByteView{&dummy, 0}, ByteView{&dummy, 0},
                                nullptr),
                  Bytes({0x55, 0xAA, 0x05, 0x06, 0x01, 0x21, 0x00, 0xD3}));
}

COMM_TEST(build_request_puts_address_then_channel_in_front)
{
    const Bytes app{0x50, 0x01};
    const Bytes data{0x01};
    const std::uint8_t channel = 0x17;
    COMM_CHECK_EQ(build_request(view(kRequestHeader), view(app), view(data),
                                view({0x01, 0x02}), &channel),
                  Bytes({0x01, 0x02, 0x17, 0x55, 0xAA, 0x05, 0x06, 0x01,
                         0x50, 0x01, 0x01, 0xA2}));
    COMM_CHECK_EQ(build_request(view(kRequestHeader), view(app), view(data),
                                ByteView{nullptr, 0}, &channel),
                  Bytes({0x17, 0x55, 0xAA, 0x05, 0x06, 0x01, 0x50, 0x01,
                         0x01, 0xA2}));
    COMM_CHECK_EQ(build_request(view(kRequestHeader), view(app), view(data),
                                view({0x00, 0x05}), nullptr),
                  Bytes({0x00, 0x05, 0x55, 0xAA, 0x05, 0x06, 0x01, 0x50,
                         0x01, 0x01, 0xA2}));
    // The core writes what it is given: a zero channel, a 3-byte address.
    const std::uint8_t zero = 0x00;
    COMM_CHECK_EQ(build_request(view(kRequestHeader), view(app), view(data),
                                view({0xA1, 0xB2, 0xC3}), &zero),
                  Bytes({0xA1, 0xB2, 0xC3, 0x00, 0x55, 0xAA, 0x05, 0x06,
                         0x01, 0x50, 0x01, 0x01, 0xA2}));
}

// --- read size --------------------------------------------------------------

COMM_TEST(read_size_is_capped_at_128)
{
    COMM_CHECK_EQ(read_size(200), 128u);
    COMM_CHECK_EQ(read_size(129), 128u);
    COMM_CHECK_EQ(read_size(128), 128u);
    COMM_CHECK_EQ(read_size(23), 23u);
    COMM_CHECK_EQ(read_size(9), 9u);
    COMM_CHECK_EQ(read_size(0), 0u);
}

// --- reply validation -------------------------------------------------------

COMM_TEST(validate_reply_nothing_or_too_little)
{
    COMM_CHECK_EQ(validate_pump_status(Bytes{}).status, ReplyStatus::kNoData);
    const std::uint8_t byte = 0x55;
    COMM_CHECK_EQ(validate_reply(ByteView{&byte, 0}, view(kReplyHeader),
                                 view(kPumpStatusReply))
                      .status,
                  ReplyStatus::kNoData);
    COMM_CHECK_EQ(validate_pump_status({0x55}).status, ReplyStatus::kTooShort);
    COMM_CHECK_EQ(validate_pump_status({0x55, 0xAA, 0x05}).status,
                  ReplyStatus::kTooShort);
    COMM_CHECK_EQ(
        validate_pump_status({0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B}).status,
        ReplyStatus::kTooShort);
    // Seven bytes never succeed, even when the last equals the check of the
    // six before it (sum 0x155 -> AA).
    COMM_CHECK_EQ(
        validate_pump_status({0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0xAA})
            .status,
        ReplyStatus::kTooShort);
    COMM_CHECK_EQ(
        validate_pump_status({0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0x00})
            .status,
        ReplyStatus::kTooShort);
}

COMM_TEST(validate_reply_shorter_than_its_length_byte)
{
    // Cut after the value: the length byte promises one more byte.
    COMM_CHECK_EQ(validate_pump_status(
                      {0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0x01, 0x02})
                      .status,
                  ReplyStatus::kTooShort);
    // Declares 4 user-data bytes, holds 2 and a byte that would be their
    // check (sum of the nine, 0x15C -> A3): still too short.
    COMM_CHECK_EQ(validate_pump_status({0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B,
                                        0x04, 0x01, 0x02, 0xA3})
                      .status,
                  ReplyStatus::kTooShort);
    // A length byte of FF on a 20-byte reply.
    Bytes long_claim{0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0xFF};
    long_claim.resize(20, 0x00);
    COMM_CHECK_EQ(validate_pump_status(long_claim).status,
                  ReplyStatus::kTooShort);
    // Exactly 8 + N is enough: the reply is judged on its check data next.
    COMM_CHECK_EQ(validate_pump_status({0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B,
                                        0x02, 0x01, 0x02, 0x00})
                      .status,
                  ReplyStatus::kBadCheckData);
}

COMM_TEST(validate_reply_accepts_good_replies)
{
    ReplyVerdict v = validate_pump_status(kGoodPumpStatus);
    COMM_CHECK_EQ(v.status, ReplyStatus::kSuccess);
    COMM_CHECK_EQ(v.value_offset, 7u);
    COMM_CHECK_EQ(v.value_size, 1u);
    COMM_CHECK_EQ(value_of(kGoodPumpStatus, v), Bytes({0x02}));

    // SET_START_CONTROL: 8 bytes, no user data (sum 0x12B).
    const Bytes start{0x55, 0xAA, 0x05, 0x06, 0x00, 0x21, 0x00, 0xD4};
    v = validate_reply(view(start), view(kReplyHeader),
                       view(kStartControlReply));
    COMM_CHECK_EQ(v.status, ReplyStatus::kSuccess);
    COMM_CHECK_EQ(v.value_offset, 7u);
    COMM_CHECK_EQ(v.value_size, 0u);

    // GET_KVO_RATE, value 00 00 01 F4 (sum 0x253).
    const Bytes kvo{0x55, 0xAA, 0x05, 0x06, 0x00, 0x50, 0x04,
                    0x00, 0x00, 0x01, 0xF4, 0xAC};
    v = validate_reply(view(kvo), view(kReplyHeader), view(kKvoRateReply));
    COMM_CHECK_EQ(v.status, ReplyStatus::kSuccess);
    COMM_CHECK_EQ(value_of(kvo, v), Bytes({0x00, 0x00, 0x01, 0xF4}));

    // GET_REMAIN_TIME, value 01 2C (sum 0x1DC).
    const Bytes remain{0x55, 0xAA, 0x05, 0x06, 0x00,
                       0xA3, 0x02, 0x01, 0x2C, 0x23};
    v = validate_reply(view(remain), view(kReplyHeader),
                       view(kRemainTimeReply));
    COMM_CHECK_EQ(v.status, ReplyStatus::kSuccess);
    COMM_CHECK_EQ(value_of(remain, v), Bytes({0x01, 0x2C}));

    // GET_INFUSION_PARAMETER, the longest reply: 23 bytes (sum 0x1DA).
    const Bytes infusion{0x55, 0xAA, 0x05, 0x06, 0x00, 0x49, 0x0F, 0x01,
                         0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                         0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x25};
    v = validate_reply(view(infusion), view(kReplyHeader),
                       view(kInfusionParameterReply));
    COMM_CHECK_EQ(v.status, ReplyStatus::kSuccess);
    COMM_CHECK_EQ(v.value_offset, 7u);
    COMM_CHECK_EQ(v.value_size, 15u);
}

COMM_TEST(validate_reply_bad_check_data_comes_first)
{
    ReplyVerdict v = validate_pump_status(
        {0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0x01, 0x02, 0xA8});
    COMM_CHECK_EQ(v.status, ReplyStatus::kBadCheckData);
    COMM_CHECK_EQ(v.received_check, 0xA8);
    COMM_CHECK_EQ(v.expected_check, 0xA7);

    // Wrong direction byte and a stale check byte: the check is reported.
    v = validate_pump_status(
        {0x55, 0xAA, 0x05, 0x06, 0x01, 0x4B, 0x01, 0x02, 0xA7});
    COMM_CHECK_EQ(v.status, ReplyStatus::kBadCheckData);
    COMM_CHECK_EQ(v.received_check, 0xA7);
    COMM_CHECK_EQ(v.expected_check, 0xA6);

    // Wrong app header and a bad check byte: the check is reported.
    v = validate_pump_status({0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0x00, 0x00});
    COMM_CHECK_EQ(v.status, ReplyStatus::kBadCheckData);
    COMM_CHECK_EQ(v.received_check, 0x00);
    COMM_CHECK_EQ(v.expected_check, 0xAA);
}

COMM_TEST(validate_reply_header_mismatches)
{
    // The line echoes the request back: right check data, wrong header.
    COMM_CHECK_EQ(validate_pump_status(
                      {0x55, 0xAA, 0x05, 0x06, 0x01, 0x4B, 0x00, 0xA9})
                      .status,
                  ReplyStatus::kBadHeader);
    // Direction byte 01 with a matching check byte (sum 0x159).
    COMM_CHECK_EQ(validate_pump_status({0x55, 0xAA, 0x05, 0x06, 0x01, 0x4B,
                                        0x01, 0x02, 0xA6})
                      .status,
                  ReplyStatus::kBadHeader);
    // Length byte 00 instead of 01 for GET_PUMP_STATUS (sum 0x155).
    COMM_CHECK_EQ(validate_pump_status(
                      {0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0x00, 0xAA})
                      .status,
                  ReplyStatus::kBadAppHeader);
    // Command byte 4C instead of 4B (sum 0x159).
    COMM_CHECK_EQ(validate_pump_status({0x55, 0xAA, 0x05, 0x06, 0x00, 0x4C,
                                        0x01, 0x02, 0xA6})
                      .status,
                  ReplyStatus::kBadAppHeader);
}

COMM_TEST(validate_reply_headers_of_the_wrong_size_never_match)
{
    const Bytes four{0x55, 0xAA, 0x05, 0x06};
    const Bytes six{0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B};
    COMM_CHECK_EQ(validate_reply(view(kGoodPumpStatus), view(four),
                                 view(kPumpStatusReply))
                      .status,
                  ReplyStatus::kBadHeader);
    COMM_CHECK_EQ(validate_reply(view(kGoodPumpStatus), view(six),
                                 view(kPumpStatusReply))
                      .status,
                  ReplyStatus::kBadHeader);
    COMM_CHECK_EQ(validate_reply(view(kGoodPumpStatus), view(kReplyHeader),
                                 view({0x4B}))
                      .status,
                  ReplyStatus::kBadAppHeader);
    COMM_CHECK_EQ(validate_reply(view(kGoodPumpStatus), view(kReplyHeader),
                                 view({0x4B, 0x01, 0x02}))
                      .status,
                  ReplyStatus::kBadAppHeader);
    COMM_CHECK_EQ(validate_reply(view(kGoodPumpStatus), view(kReplyHeader),
                                 ByteView{nullptr, 0})
                      .status,
                  ReplyStatus::kBadAppHeader);
}

COMM_TEST(validate_reply_takes_the_last_byte_as_check_data)
{
    // A stray byte after a good reply is compared with A7.
    ReplyVerdict v = validate_pump_status(
        {0x55, 0xAA, 0x05, 0x06, 0x00, 0x4B, 0x01, 0x02, 0xA7, 0x00});
    COMM_CHECK_EQ(v.status, ReplyStatus::kBadCheckData);
    COMM_CHECK_EQ(v.received_check, 0x00);
    COMM_CHECK_EQ(v.expected_check, 0xA7);

    // ...and passes when it happens to equal it.
    const Bytes doubled{0x55, 0xAA, 0x05, 0x06, 0x00,
                        0x4B, 0x01, 0x02, 0xA7, 0xA7};
    v = validate_pump_status(doubled);
    COMM_CHECK_EQ(v.status, ReplyStatus::kSuccess);
    COMM_CHECK_EQ(v.value_offset, 7u);
    COMM_CHECK_EQ(v.value_size, 1u);
    COMM_CHECK_EQ(value_of(doubled, v), Bytes({0x02}));
}

COMM_TEST(validate_reply_looks_only_inside_the_view)
{
    // The check byte lies just past the view: the reply is one byte short.
    COMM_CHECK_EQ(validate_reply(ByteView{kGoodPumpStatus.data(), 8},
                                 view(kReplyHeader), view(kPumpStatusReply))
                      .status,
                  ReplyStatus::kTooShort);
    COMM_CHECK_EQ(validate_reply(ByteView{kGoodPumpStatus.data(), 9},
                                 view(kReplyHeader), view(kPumpStatusReply))
                      .status,
                  ReplyStatus::kSuccess);
    // A header view's bytes beyond its size are not compared.
    const Bytes long_header{0x55, 0xAA, 0x05, 0x06, 0x00, 0xEE};
    COMM_CHECK_EQ(validate_reply(view(kGoodPumpStatus),
                                 ByteView{long_header.data(), 5},
                                 view(kPumpStatusReply))
                      .status,
                  ReplyStatus::kSuccess);
}

}  // namespace

int
main()
{
    return comm::check::run_all();
}
