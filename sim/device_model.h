// The simulated Velmo 2.0 device: what it stores and how it answers one
// request. No I/O and no clocks here; the link (pty_link_posix.cpp) and the
// fault layer (device_responder.h) sit around it.
//
// What the device holds:
//  - the identity record it returns for command 18, built from DeviceConfig;
//  - the module memory: up to 112 block records written by command 19. A
//    presence check (16) rewinds the write position, and the first block
//    written after that starts a new write session, which drops the blocks of
//    the previous session. The tool identifies the device again after the
//    last block, so the blocks stay visible after a complete write.
//  - one calibration record (address 0x2000) and six configuration records
//    (0x2800 + i * 0x400), fixed at construction from a seeded pattern. They
//    are full of 0x02, 0x03 and 0x10 bytes so that every read exercises the
//    escapes, yet short enough on the line to fit the reply wait, unless a
//    fill byte makes them as long as a reply can be. Each has its own
//    trailer so that a record read back from the wrong address is caught.
//  - the "application": a started flag and a count of activations. Command 20
//    sets the flag and counts; a new write session clears the flag, as
//    loading a module stops whatever ran before. Nothing else depends on it.
//
// A request that repeats the last one handled (same sequence number, same
// bytes) is a retransmission after a lost reply: it gets the same reply again
// and is not executed twice, so a lost acknowledgement never stores a block
// twice. Note that two separate runs of the tool both start with sequence
// number 0, so two one-request runs in a row (two activations, for instance)
// look like one request and its retransmission to the device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Markers the identity record uses for "not present".
inline constexpr std::uint16_t kSimAbsentVersion = 0xFFFF;
inline constexpr std::uint32_t kSimAbsentDate = 0xFFFFFFFF;
inline constexpr std::uint32_t kSimAbsentSerial = 0xFFFFFF;

struct DeviceConfig {
    std::uint8_t node = 255;
    // Up to four single-byte characters; a zero byte ends the text early.
    std::array<std::uint8_t, 4> deviceType{'V', 'X', '4', '0'};
    std::uint16_t bootVersion = 0x0102;   // high byte major, low byte minor
    std::uint32_t bootDate = 0x14052015;  // packed decimal digits: 14.05.2015
    std::uint16_t appVersion = 0x0105;
    std::uint32_t appDate = 0x25032016;
    std::uint16_t requiredBootVersion = 0x0102;
    std::uint32_t serialNumber = 12345;  // 24 bits used
    // Data bytes in the reply to command 18. The full record is 25 bytes; a
    // shorter length simulates a device that sends a short record, a longer
    // one pads with zero bytes.
    int infoRecordLength = 25;
    // Seed of the calibration and configuration contents.
    std::uint32_t recordSeed = 0x5EED;
    // 0 to 255: the data of every served record is this byte alone (the
    // trailer still tells them apart). 0x10 doubles every byte on the line,
    // a reply longer than the reply wait; -1 keeps the seeded pattern.
    int recordFill = -1;
    // The application version and date reported once a module has been
    // written (a block is held): what the new application would report.
    // Without it the old version stays, as on a device whose new
    // application did not take.
    std::optional<std::uint16_t> writtenAppVersion;
    std::uint32_t writtenAppDate = 0x01062026;
};

class DeviceModel {
  public:
    static constexpr std::uint8_t kCmdPresence = 16;
    static constexpr std::uint8_t kCmdInfo = 18;
    static constexpr std::uint8_t kCmdWriteBlock = 19;
    static constexpr std::uint8_t kCmdActivate = 20;
    static constexpr std::uint8_t kCmdReadBlock = 21;

    static constexpr std::uint8_t kStatusAck = 6;
    static constexpr std::uint8_t kStatusRefused = 0x15;
    static constexpr std::uint8_t kErrBadBlock = 255;
    static constexpr std::uint8_t kErrBadCommand = 254;

    static constexpr std::size_t kHeaderSize = 3;  // sequence, node, command
    static constexpr std::size_t kRecordSize = 1030;
    static constexpr std::size_t kInfoRecordSize = 25;
    static constexpr std::size_t kMaxInfoRecordLength = kRecordSize;
    static constexpr std::size_t kMaxModuleBlocks = 112;
    static constexpr std::uint32_t kCalibrationAddress = 0x2000;
    static constexpr std::uint32_t kConfigurationAddress = 0x2800;
    static constexpr std::uint32_t kBlockStep = 0x400;
    static constexpr int kConfigurationBlocks = 6;

    using Bytes = std::vector<std::uint8_t>;
    using Record = std::array<std::uint8_t, kRecordSize>;

    explicit DeviceModel(DeviceConfig config = {});

    const DeviceConfig& Config() const { return config_; }

    // True when a decoded request is one this device answers: it has the
    // three header bytes and carries this device's node.
    bool Addressed(std::span<const std::uint8_t> request) const;

    // Handles one decoded request payload and returns the reply payload, or
    // nothing when the request is not addressed to this device.
    std::optional<Bytes> Handle(std::span<const std::uint8_t> request);

    // A refusing reply to `request` with the given error byte. Changes nothing.
    static Bytes Refusal(std::span<const std::uint8_t> request, std::uint8_t errorByte);

    // The data bytes of the reply to command 18 (infoRecordLength bytes).
    Bytes InfoRecord() const;

    // Blocks stored by command 19 in the current write session.
    const std::vector<Record>& ModuleBlocks() const { return module_; }
    int Activations() const { return activations_; }
    bool ApplicationStarted() const { return started_; }
    // Requests executed, retransmissions not counted.
    int Executed() const { return executed_; }

    const Record& CalibrationRecord() const { return calibration_; }
    // index 0 to 5; the record read from 0x2800 + index * 0x400.
    const Record& ConfigurationRecord(int index) const;
    // The record served at `address`, or nothing for an address without one.
    const Record* RecordAt(std::uint32_t address) const;

  private:
    Bytes Execute(std::span<const std::uint8_t> request);

    DeviceConfig config_;
    Record calibration_{};
    std::array<Record, kConfigurationBlocks> configuration_{};
    std::vector<Record> module_;
    std::size_t writeIndex_ = 0;
    int activations_ = 0;
    bool started_ = false;
    int executed_ = 0;
    Bytes lastRequest_;
    Bytes lastReply_;
    bool haveLast_ = false;
};

// The deterministic contents of a served record: 1028 data bytes from a
// seeded generator, about one in ten of them 0x02, 0x03 or 0x10, followed by
// `trailer` (low byte first).
DeviceModel::Record SimPatternRecord(std::uint32_t seed, std::uint16_t trailer);
