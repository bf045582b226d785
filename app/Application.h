#pragma once

// The device configuration, and the ledger in the working directory.
inline constexpr const char* kDeviceConfigPath = "/etc/kavrel/def_config.json";
inline constexpr const char* kLedgerPath = "./file_manager.csv";

// The whole process: start-up in its fixed order, the event loop, tear-down.
// Returns the event loop's exit code.
int runKavrel(int argc, char** argv);

// Looks for the storage card; without one the operator is told in a modal
// dialog and the storage root stays "." (the working directory).
void probeStorageCard();

// Makes the compiled-in CJK font the application font, as on the board.
void loadApplicationFont();
