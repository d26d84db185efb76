// Which line a port name reaches. Two names may reach one line: a link to a
// local device and the device itself, COM5 and \\.\com5, a serial server
// written with its host in capitals or with other options. Two threads of a
// rollout driving one half-duplex bus would destroy each other's frames, so
// a plan names each line once, whatever the spelling.
#pragma once

#include <string>
#include <string_view>

// A key that is the same for every name of one line: a serial server's host
// (case-insensitive) and TCP port, whatever the kind and options; a local
// port's device once its links are resolved (a COM port by its number,
// whatever the case or prefix). `portName` must be a name the channel
// accepts.
std::string LineIdentity(std::string_view portName);

// Whether the channel would accept `portName`: a network name must parse, a
// local one fit the port field. False with `problem` set to a short English
// text when it would not.
bool CheckPortName(std::string_view portName, std::string& problem);
