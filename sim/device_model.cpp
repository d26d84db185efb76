#include "sim/device_model.h"

#include <algorithm>

namespace {

// Trailers of the served records: each one different, and each with a control
// byte in it so that the trailer's escape is exercised as well.
constexpr std::uint16_t kCalibrationTrailer = 0x10CA;
constexpr std::uint16_t ConfigurationTrailer(int index) {
    return static_cast<std::uint16_t>(0x03F0 + index);
}

void PutLe(DeviceModel::Bytes& out, std::size_t offset, std::uint32_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        out[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetLe32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    return value;
}

DeviceModel::Bytes Ack(std::span<const std::uint8_t> request) {
    return {request[0], request[1], request[2], DeviceModel::kStatusAck};
}

}  // namespace

DeviceModel::Record SimPatternRecord(std::uint32_t seed, std::uint16_t trailer) {
    // xorshift32; the state must not be 0.
    std::uint32_t state = (seed ^ (static_cast<std::uint32_t>(trailer) * 0x9E3779B9u)) | 1u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    static constexpr std::uint8_t kControl[] = {0x02, 0x03, 0x10};
    DeviceModel::Record record{};
    for (std::size_t i = 0; i < DeviceModel::kRecordSize - 2; ++i) {
        const std::uint32_t r = next();
        record[i] = (r & 0x0F) == 0 ? kControl[(r >> 8) % 3] : static_cast<std::uint8_t>(r >> 16);
    }
    record[DeviceModel::kRecordSize - 2] = static_cast<std::uint8_t>(trailer);
    record[DeviceModel::kRecordSize - 1] = static_cast<std::uint8_t>(trailer >> 8);
    return record;
}

DeviceModel::DeviceModel(DeviceConfig config) : config_(config) {
    config_.infoRecordLength =
        std::clamp(config_.infoRecordLength, 0, static_cast<int>(kMaxInfoRecordLength));
    calibration_ = SimPatternRecord(config_.recordSeed, kCalibrationTrailer);
    for (int i = 0; i < kConfigurationBlocks; ++i)
        configuration_[static_cast<std::size_t>(i)] =
            SimPatternRecord(config_.recordSeed, ConfigurationTrailer(i));
    if (config_.recordFill >= 0 && config_.recordFill <= 0xFF) {
        const auto fill = static_cast<std::uint8_t>(config_.recordFill);
        std::fill_n(calibration_.begin(), kRecordSize - 2, fill);
        for (Record& record : configuration_)
            std::fill_n(record.begin(), kRecordSize - 2, fill);
    }
}

bool DeviceModel::Addressed(std::span<const std::uint8_t> request) const {
    return request.size() >= kHeaderSize && request[1] == config_.node;
}

std::optional<DeviceModel::Bytes> DeviceModel::Handle(std::span<const std::uint8_t> request) {
    if (!Addressed(request)) return std::nullopt;
    // The sequence number is part of the bytes compared, so an identical
    // request is the same transaction sent again.
    if (haveLast_ &&
        std::equal(request.begin(), request.end(), lastRequest_.begin(), lastRequest_.end())) {
        return lastReply_;
    }
    Bytes reply = Execute(request);
    lastRequest_.assign(request.begin(), request.end());
    lastReply_ = reply;
    haveLast_ = true;
    ++executed_;
    return reply;
}

DeviceModel::Bytes DeviceModel::Refusal(std::span<const std::uint8_t> request,
                                        std::uint8_t errorByte) {
    return {request[0], request[1], request[2], kStatusRefused, errorByte};
}

DeviceModel::Bytes DeviceModel::InfoRecord() const {
    Bytes record(std::max(kInfoRecordSize, static_cast<std::size_t>(config_.infoRecordLength)), 0);
    std::copy(config_.deviceType.begin(), config_.deviceType.end(), record.begin());
    PutLe(record, 4, config_.bootVersion, 2);
    PutLe(record, 6, config_.bootDate, 4);
    // Bytes 10 to 13 are not interpreted by the tool; they stay 0.
    const bool written = config_.writtenAppVersion && !module_.empty();
    PutLe(record, 14, written ? *config_.writtenAppVersion : config_.appVersion, 2);
    PutLe(record, 16, written ? config_.writtenAppDate : config_.appDate, 4);
    PutLe(record, 20, config_.requiredBootVersion, 2);
    PutLe(record, 22, config_.serialNumber & 0xFFFFFF, 3);
    record.resize(static_cast<std::size_t>(config_.infoRecordLength));
    return record;
}

const DeviceModel::Record& DeviceModel::ConfigurationRecord(int index) const {
    return configuration_.at(static_cast<std::size_t>(index));
}

const DeviceModel::Record* DeviceModel::RecordAt(std::uint32_t address) const {
    if (address == kCalibrationAddress) return &calibration_;
    if (address < kConfigurationAddress || (address - kConfigurationAddress) % kBlockStep != 0)
        return nullptr;
    const std::uint32_t index = (address - kConfigurationAddress) / kBlockStep;
    if (index >= static_cast<std::uint32_t>(kConfigurationBlocks)) return nullptr;
    return &configuration_[index];
}

DeviceModel::Bytes DeviceModel::Execute(std::span<const std::uint8_t> request) {
    const auto data = request.subspan(kHeaderSize);
    switch (request[2]) {
        case kCmdPresence:
            writeIndex_ = 0;
            return Ack(request);
        case kCmdInfo: {
            Bytes reply = Ack(request);
            const Bytes record = InfoRecord();
            reply.insert(reply.end(), record.begin(), record.end());
            return reply;
        }
        case kCmdWriteBlock: {
            if (data.size() != kRecordSize || writeIndex_ >= kMaxModuleBlocks)
                return Refusal(request, kErrBadBlock);
            if (writeIndex_ == 0) {
                module_.clear();
                started_ = false;
            }
            Record block{};
            std::copy(data.begin(), data.end(), block.begin());
            module_.push_back(block);  // the write position is always the session's size
            ++writeIndex_;
            return Ack(request);
        }
        case kCmdActivate:
            started_ = true;
            ++activations_;
            return Ack(request);
        case kCmdReadBlock: {
            const Record* record = data.size() >= 4 ? RecordAt(GetLe32(data, 0)) : nullptr;
            if (record == nullptr) return Refusal(request, kErrBadBlock);
            Bytes reply = Ack(request);
            reply.insert(reply.end(), record->begin(), record->end());
            return reply;
        }
        default:
            return Refusal(request, kErrBadCommand);
    }
}
