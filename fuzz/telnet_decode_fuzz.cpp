// telnet::Decode on bytes from a server, fed whole and in pieces. The
// pieces' lengths come from the input itself, so the fuzzer steers where a
// command, an option or a subnegotiation is cut. Holds, for every input:
//  - no call writes more data bytes than it was given (the output buffer is
//    exactly that long, so AddressSanitizer sees any write past it);
//  - the reply buffer stays within its size and holds whole IAC commands;
//  - split and whole give the same data bytes and end in the same state,
//    with the same answers of the server noted;
//  - a stream without IAC is all data, unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "transport/telnet.h"

namespace {

// Decodes one piece into a buffer exactly as long as the piece, appends the
// data to `data` and takes the decoder's answers as the channel does.
void DecodePiece(telnet::Decoder& decoder, const std::uint8_t* in, std::size_t length,
                 std::vector<std::uint8_t>& data) {
    const std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[length > 0 ? length : 1]);
    const std::size_t written = telnet::Decode(decoder, in, length, out.get(), length);
    if (written > length) std::abort();
    data.insert(data.end(), out.get(), out.get() + written);
    if (decoder.replyLength > sizeof decoder.reply || decoder.replyLength % 3 != 0) std::abort();
    for (std::size_t i = 0; i < decoder.replyLength; i += 3) {
        if (decoder.reply[i] != telnet::kIac) std::abort();
    }
    decoder.replyLength = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider provider(bytes, size);
    // The last byte says how many bytes at the front choose the cuts; the
    // rest is the stream.
    const std::size_t cutBytes = provider.ConsumeIntegralInRange<std::size_t>(0, 32);
    const std::vector<std::uint8_t> cuts = provider.ConsumeBytes<std::uint8_t>(cutBytes);
    const std::vector<std::uint8_t> stream = provider.ConsumeRemainingBytes<std::uint8_t>();

    telnet::Decoder whole;
    std::vector<std::uint8_t> wholeData;
    DecodePiece(whole, stream.data(), stream.size(), wholeData);

    telnet::Decoder split;
    std::vector<std::uint8_t> splitData;
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        // Pieces of 0 to 15 bytes, then the rest in one.
        const std::size_t piece = i < cuts.size() ? cuts[i] % 16 : stream.size() - at;
        const std::size_t length = piece < stream.size() - at ? piece : stream.size() - at;
        DecodePiece(split, stream.data() + at, length, splitData);
        at += length;
    }

    if (wholeData != splitData) std::abort();
    if (whole.phase != split.phase || whole.comPort != split.comPort ||
        whole.binaryRefused != split.binaryRefused || whole.purgeAnswers != split.purgeAnswers ||
        whole.line.answered != split.line.answered || whole.line.baudRate != split.line.baudRate ||
        whole.line.dataSize != split.line.dataSize || whole.line.parity != split.line.parity ||
        whole.line.stopSize != split.line.stopSize) {
        std::abort();
    }
    if (std::find(stream.begin(), stream.end(), telnet::kIac) == stream.end() &&
        wholeData != stream)
        std::abort();
    return 0;
}
