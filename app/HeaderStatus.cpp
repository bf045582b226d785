#include "HeaderStatus.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include "config_manager.h"

namespace header_status {

QString cityText(const config_manager& config)
{
    const QString code = QString::fromStdString(config.cur_city_);
    if (code.isEmpty())
        return QStringLiteral("-");
    for (const auto& [key, name] : config.city_list_) {
        if (key == config.cur_city_)
            return QStringLiteral("%1 (%2)").arg(QString::fromStdString(name), code);
    }
    return code;
}

QString machineText(const config_manager& config)
{
    return config.machine_id_.empty() ? QStringLiteral("-") : QString::fromStdString(config.machine_id_);
}

QString firstIPv4Address()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return QStringLiteral("no");
    QString found;
    for (const ifaddrs* entry = list; entry && found.isEmpty(); entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        if ((entry->ifa_flags & IFF_LOOPBACK) || !(entry->ifa_flags & IFF_UP))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)))
            found = QString::fromLatin1(text);
    }
    freeifaddrs(list);
    return found.isEmpty() ? QStringLiteral("no") : found;
}

QString ntpText(bool synchronized)
{
    return synchronized ? QString::fromUtf8("已同步") : QString::fromUtf8("未同步");
}

bool ntpAnswerSaysSynchronized(const QByteArray& output)
{
    return output.contains("yes");
}

} // namespace header_status
