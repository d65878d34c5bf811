#pragma once
// The checks' script classes for #import: CS_Dns (lookups), CNetInfo (local addresses) and
// CS_Statistic (a statistics object of the script's own). Call RegisterChecksImportables
// once at start, before hosts compile scripts.
#include <cstdint>
#include <string>

#include "checks/Dns.h"
#include "checks/Statistics.h"
#include "script/CS_Array.h"

namespace checks {

// Lookups on the kernel's DNS engine with the object's own time-out; "" without an engine.
class CS_Dns {
public:
    CS_Dns();
    std::string DNS_Resolve(const char* name);
    std::string DNS_Resolve6(const char* name);
    std::string DNS_Reverse(const char* ip);
    std::string DNS_MX(const char* domain);
    std::string DNS_NS(const char* domain);
    std::string DNS_TXT(const char* name);
    void AddNameServerDNS(const char* server);
    void SetTimeOut(int32_t ms) { timeout_ms_ = ms; }

private:
    int timeout_ms_;
};

class CNetInfo {
public:
    // result[address] = netmask for every address of every local interface: IPv4 ones with a
    // dotted mask ("255.255.255.0"), IPv6 ones in canonical text with their prefix length
    // ("64"). 1, or 0 without an array.
    int32_t BuildNetInfo(script::CS_Array* result);
};

class CS_Statistic {
public:
    void AddItem(const char* name, int32_t type, int32_t sub_type, float value, int32_t mode);
    void Reset() { stats_.Reset(); }
    int32_t Load(const char* file) { return file && stats_.Load(file) ? 1 : 0; }
    int32_t Save() { return stats_.Save() ? 1 : 0; }
    // result[name] = "%.3f|%d" of value and type.
    void PopulatedArray(script::CS_Array* result);
    CStatitiche_Day& Stats() { return stats_; }

private:
    CStatitiche_Day stats_;
};

void RegisterChecksImportables();

}  // namespace checks
