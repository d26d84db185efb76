#include "transport/telnet.h"

namespace telnet {

namespace {

// Appends to a caller's buffer and remembers whether everything fitted, so
// that a sequence of writes is checked once at its end.
class Writer {
  public:
    Writer(std::uint8_t* out, std::size_t room) : out_(out), room_(room) {}

    void Byte(std::uint8_t byte) {
        if (length_ < room_) {
            out_[length_] = byte;
        } else {
            overflow_ = true;
        }
        ++length_;
    }

    void Command(std::uint8_t command, std::uint8_t option) {
        Byte(kIac);
        Byte(command);
        Byte(option);
    }

    // IAC SB COM-PORT-OPTION <command> <value...> IAC SE; an IAC within the
    // value is doubled like any other so the server does not take it for the
    // end of the subnegotiation.
    void ComPort(std::uint8_t command, const std::uint8_t* value, std::size_t valueLength) {
        Byte(kIac);
        Byte(kSb);
        Byte(kOptionComPort);
        Byte(command);
        for (std::size_t i = 0; i < valueLength; ++i) {
            Byte(value[i]);
            if (value[i] == kIac) Byte(kIac);
        }
        Byte(kIac);
        Byte(kSe);
    }

    void ComPort(std::uint8_t command, std::uint8_t value) { ComPort(command, &value, 1); }

    std::size_t Length() const { return overflow_ ? 0 : length_; }

  private:
    std::uint8_t* out_;
    std::size_t room_;
    std::size_t length_ = 0;
    bool overflow_ = false;
};

// Queues IAC <answer> <option> unless the server's request (`answered`, a
// bit per option) has had its answer, or the reply buffer is full: a lost
// refusal only leaves the server's request pending, which it must tolerate
// anyway, while writing past the buffer would not be.
void Refuse(Decoder& decoder, std::uint8_t* answered, std::uint8_t answer, std::uint8_t option) {
    const auto bit = static_cast<std::uint8_t>(1u << (option % 8));
    if ((answered[option / 8] & bit) != 0) return;
    if (sizeof decoder.reply - decoder.replyLength < 3) return;
    decoder.reply[decoder.replyLength++] = kIac;
    decoder.reply[decoder.replyLength++] = answer;
    decoder.reply[decoder.replyLength++] = option;
    answered[option / 8] = static_cast<std::uint8_t>(answered[option / 8] | bit);
}

// The server's side of a negotiation. We offered WILL and DO for BINARY and
// SUPPRESS-GO-AHEAD and WILL for COM-PORT-OPTION, so the server's DO/WILL for
// those is its agreement and needs no answer; anything else it wants is
// refused. WONT and DONT never need one: the option simply stays off.
void Negotiate(Decoder& decoder, std::uint8_t command, std::uint8_t option) {
    const bool offered = option == kOptionBinary || option == kOptionSuppressGoAhead;
    switch (command) {
        case kDo:
            if (option == kOptionComPort) {
                decoder.comPort = ComPortAnswer::kAccepted;
            } else if (!offered) {
                Refuse(decoder, decoder.answeredDo, kWont, option);
            }
            break;
        case kDont:
            if (option == kOptionComPort) decoder.comPort = ComPortAnswer::kRefused;
            if (option == kOptionBinary) decoder.binaryRefused = true;
            break;
        case kWill:
            if (!offered) Refuse(decoder, decoder.answeredWill, kDont, option);
            break;
        case kWont:
            if (option == kOptionBinary) decoder.binaryRefused = true;
            break;
        default:
            break;
    }
}

}  // namespace

std::size_t WriteOpening(std::uint8_t* out, std::size_t room) {
    Writer writer(out, room);
    writer.Command(kWill, kOptionBinary);
    writer.Command(kDo, kOptionBinary);
    writer.Command(kWill, kOptionSuppressGoAhead);
    writer.Command(kDo, kOptionSuppressGoAhead);
    writer.Command(kWill, kOptionComPort);
    return writer.Length();
}

std::size_t WriteLineSettings(std::uint8_t* out, std::size_t room) {
    Writer writer(out, room);
    const std::uint8_t baud[4] = {
        static_cast<std::uint8_t>(kBaudRate >> 24), static_cast<std::uint8_t>(kBaudRate >> 16),
        static_cast<std::uint8_t>(kBaudRate >> 8), static_cast<std::uint8_t>(kBaudRate)};
    writer.ComPort(kSetBaudRate, baud, sizeof baud);
    writer.ComPort(kSetDataSize, kDataSizeEight);
    writer.ComPort(kSetParity, kParityNone);
    writer.ComPort(kSetStopSize, kStopSizeOne);
    writer.ComPort(kSetControl, kControlNoFlowControl);
    writer.ComPort(kSetControl, kControlDtrOn);
    writer.ComPort(kSetControl, kControlRtsOff);
    return writer.Length();
}

std::size_t WritePurgeReceive(std::uint8_t* out, std::size_t room) {
    Writer writer(out, room);
    writer.ComPort(kPurgeData, kPurgeReceive);
    return writer.Length();
}

std::size_t Escape(const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                   std::size_t room) {
    if (length > room / 2) return 0;
    std::size_t written = 0;
    for (std::size_t i = 0; i < length; ++i) {
        out[written++] = data[i];
        if (data[i] == kIac) out[written++] = kIac;
    }
    return written;
}

namespace {

// The server answers each COM-PORT-OPTION command with the command plus 100.
constexpr std::uint8_t kServerAnswerOffset = 100;

// Keeps the option, the command and the first value bytes of a
// subnegotiation, and counts its bytes.
void NoteSubByte(Decoder& decoder, std::uint8_t byte) {
    const std::size_t at = decoder.subLength++;
    if (at == 0) decoder.subOption = byte;
    if (at == 1) decoder.subCommand = byte;
    if (at >= 2 && at - 2 < sizeof decoder.subValue) decoder.subValue[at - 2] = byte;
}

// A subnegotiation closed with IAC SE: the server's answers that matter. An
// answer whose leading bytes carry the value is that answer, whatever
// follows: sredird sends the baud rate as its own eight-byte long, the four
// bytes RFC 2217 has and then four zeros.
void EndSubnegotiation(Decoder& decoder) {
    if (decoder.subLength < 2 || decoder.subOption != kOptionComPort) return;
    const std::size_t valueLength = decoder.subLength - 2u;
    const std::uint8_t* value = decoder.subValue;
    LineAnswers& line = decoder.line;
    const int command = decoder.subCommand - kServerAnswerOffset;
    switch (command) {
        case kPurgeData:
            ++decoder.purgeAnswers;
            return;
        case kSetBaudRate:
            if (valueLength < 4) return;
            line.baudRate = std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
                            std::uint32_t{value[2]} << 8 | value[3];
            break;
        case kSetDataSize:
        case kSetParity:
        case kSetStopSize:
            if (valueLength < 1) return;
            (command == kSetDataSize ? line.dataSize
             : command == kSetParity ? line.parity
                                     : line.stopSize) = value[0];
            break;
        default:
            return;
    }
    line.answered = static_cast<std::uint8_t>(line.answered | (1u << command));
}

}  // namespace

std::size_t Decode(Decoder& decoder, const std::uint8_t* in, std::size_t length, std::uint8_t* out,
                   std::size_t room) {
    using Phase = Decoder::Phase;
    std::size_t written = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = in[i];
        switch (decoder.phase) {
            case Phase::kData:
                if (byte == kIac) {
                    decoder.phase = Phase::kCommand;
                } else if (written < room) {
                    out[written++] = byte;
                }
                break;
            case Phase::kSub:
                if (decoder.subLength >= kLongestSubnegotiation) {
                    // Never closed: the stream goes on with this byte.
                    decoder.phase = Phase::kData;
                    --i;
                } else if (byte == kIac) {
                    decoder.phase = Phase::kSubIac;
                } else {
                    NoteSubByte(decoder, byte);
                }
                break;
            case Phase::kSubIac:
                // IAC IAC is a 0xFF of the value and IAC SE its end. Any other
                // command means the server never closed the subnegotiation;
                // take the command as it stands rather than lose the rest of
                // the stream to the skipping.
                if (byte == kIac) {
                    NoteSubByte(decoder, byte);
                    decoder.phase = Phase::kSub;
                    break;
                }
                if (byte == kSe) {
                    EndSubnegotiation(decoder);
                    decoder.phase = Phase::kData;
                    break;
                }
                [[fallthrough]];
            case Phase::kCommand:
                if (byte == kIac) {
                    if (written < room) out[written++] = kIac;
                    decoder.phase = Phase::kData;
                } else if (byte == kWill || byte == kWont || byte == kDo || byte == kDont) {
                    decoder.command = byte;
                    decoder.phase = Phase::kOption;
                } else if (byte == kSb) {
                    decoder.subLength = 0;
                    decoder.phase = Phase::kSub;
                } else {
                    // NOP, GA, a stray SE and the rest carry nothing for us.
                    decoder.phase = Phase::kData;
                }
                break;
            case Phase::kOption:
                Negotiate(decoder, decoder.command, byte);
                decoder.phase = Phase::kData;
                break;
        }
    }
    return written;
}

}  // namespace telnet
