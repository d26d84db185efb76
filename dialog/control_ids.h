// Resource identifiers of dialog 102, used as they are in the resource script.
#pragma once

inline constexpr int kMainDialogId = 102;
inline constexpr int kIconId = 128;

inline constexpr int kIdExit = 2;  // IDCANCEL: "Выйти", Escape, the close box
inline constexpr int kIdPort = 1000;
inline constexpr int kIdModulePath = 1013;
inline constexpr int kIdBrowse = 1014;
inline constexpr int kIdWriteModule = 1015;
inline constexpr int kIdSerialNumber = 1016;
inline constexpr int kIdStatusText = 1017;
inline constexpr int kIdStatusPercent = 1018;
inline constexpr int kIdAppVersion = 1019;
inline constexpr int kIdRequiredBoot = 1020;
inline constexpr int kIdSaveCalibration = 1021;
inline constexpr int kIdSaveConfiguration = 1022;
inline constexpr int kIdSearch = 1023;
inline constexpr int kIdDeviceType = 1024;
inline constexpr int kIdBootVersion = 1025;
inline constexpr int kIdNode = 1026;
inline constexpr int kIdStop = 1027;
inline constexpr int kIdActivate = 1028;

// The five identity fields, in the order an identification blanks and
// fills them, which is also the order the front-ends show them in.
inline constexpr int kIdentityFields[] = {kIdDeviceType, kIdSerialNumber, kIdBootVersion,
                                          kIdAppVersion, kIdRequiredBoot};

inline constexpr unsigned kWmCommand = 0x0111;
