// The device's end of the line: the master side of a pseudo-terminal pair.
// The tool under test opens the slave by its path, as it would a serial port.
//
// Used by one thread at a time (the device's serving thread once it runs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class PtyLink {
  public:
    PtyLink();
    ~PtyLink();  // Close()
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // Creates the pair and puts the slave in raw mode at once, before anybody
    // can open it, so nothing written before the tool configures the port is
    // echoed or translated. False with LastError() set when that fails.
    bool Open();
    // Closes both ends: to the tool this is a cable pulled out.
    void Close();
    bool IsOpen() const;

    const std::string& SlavePath() const { return slavePath_; }
    const std::string& LastError() const { return lastError_; }

    // Waits up to timeoutMs for bytes from the tool and reads what is there.
    // The count read, 0 when nothing came, -1 when the line is closed or broken.
    int Read(std::uint8_t* buffer, std::size_t size, int timeoutMs);

    // Writes `bytes`, giving up when the line takes nothing for timeoutMs
    // (nobody may be reading the slave, and its queue is full). The count
    // written, or -1 when the line is closed or broken.
    int Write(const std::uint8_t* bytes, std::size_t count, int timeoutMs);

  private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
    std::string slavePath_;
    std::string lastError_;
};
