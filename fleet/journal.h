// The service log read back as the journal of work on devices: for each
// device (line, node, type and serial number) the latest write or activation
// it logs, so that a rollout never takes unfinished work for done. A device
// whose latest write started and never ended, or whose latest write or
// activation failed, may report the new version all the same (a device
// whose version lives in the module's first block does), yet holds an
// incomplete module or an application that never started.
#pragma once

#include <map>
#include <string>

#include "protocol/result_code.h"

struct JournalWork {
    bool activation = false;  // else a write
    bool endless = false;     // a write that started and never ended
    ResultCode result = kResultOk;
    std::string time;    // when it started, as the log gives it
    std::string module;  // a write's module file, as logged
};

class Journal {
  public:
    // Reads the log at `path`. A log that is missing or cannot be read
    // knows of nothing; lines that are not entries are passed over.
    void Load(const std::string& path);

    // The latest write or activation of the device, or nullptr when the
    // log has none. `port` in any spelling of its line.
    const JournalWork* Latest(const std::string& port, int node, const std::string& type,
                              const std::string& serial) const;

  private:
    std::map<std::string, JournalWork> latest_;
};

// Whether the work did not succeed: it failed, or it never ended.
inline bool Unfinished(const JournalWork& work) {
    return work.endless || work.result != kResultOk;
}
