#pragma once
// The facts the main window's header shows, read from the device
// configuration and the board: no value in the header is made up.

#include <QString>

class config_manager;

namespace header_status {

// "深圳 (SZ)": the current city's name from the city list with its code;
// just the code when the list does not name it, "-" without a current city.
QString cityText(const config_manager& config);
// The machine id, "-" when the configuration has none.
QString machineText(const config_manager& config);
// The first IPv4 address of an interface that is up and not loopback, or "no".
QString firstIPv4Address();
// What the NTP check answered ("yes" somewhere in its output) as the header says it.
QString ntpText(bool synchronized);
bool ntpAnswerSaysSynchronized(const QByteArray& output);

} // namespace header_status
