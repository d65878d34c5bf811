#pragma once
// What every script host bound to a kernel does the same way, whatever the host: DNS and
// block-list lookups, the auto-whitelist and greylist views, statistics, domains and persistent
// objects. The antispam host reaches the kernel through its session, the cron and admin hosts
// directly; each says how in Core(), and answers neutrally ("", 0, null) without one.
#include <cstdint>
#include <string>

#include "checks/Persistent.h"
#include "script/Builtins.h"
#include "script/CS_Array.h"

namespace core {

class CMorvaneCore;

class KernelScriptBase : public script::HostBuiltins {
public:
    using script::HostBuiltins::HostBuiltins;

    float DNSBL_Score(const char* ip);
    std::string DNSBL_Ns(const char* ip);
    std::string DNS_Reverse(const char* name);
    std::string DNS_Resolve(const char* name);
    std::string DNS_Resolve6(const char* name);
    std::string DNS_MX(const char* name);
    std::string DNS_NS(const char* name);
    std::string DNS_TXT(const char* name);

    void AddALWL(const char* sender, const char* recipients);
    int32_t IsALWL(const char* sender, const char* recipient);
    int32_t ViewALWLDB(script::CS_Array* result, int32_t count, int32_t start, const char* filter, int32_t field);
    int32_t ViewGreyListDB(script::CS_Array* result, int32_t count, int32_t start, const char* filter, int32_t field);
    void StatisticValue(const char* key, int32_t category, int32_t sub_type, float value, int32_t operation);

    // The domain's settings object, held like a persistent object: a domain removed meanwhile
    // stays alive for this script.
    script::Variable GetDomain(const char* domain);
    script::Variable GetPersistentOBJ(const char* name, const char* kind);
    script::Variable CreatePersistentOBJ(const char* name, const char* kind);
    void DeletePersistentOBJ(const char* name);

protected:
    virtual CMorvaneCore* Core() const = 0;

private:
    // Shared objects this host handed to its script: alive until the host goes, whoever
    // deletes them from the store meanwhile.
    checks::PersistentHold held_;
};

// The lookups, registered in the order hosts list them.
template <typename Binding>
void AddDnsFunctions(Binding& b) {
    using K = KernelScriptBase;
    b.Method("DNSBL_Score", &K::DNSBL_Score)
        .Method("DNSBL_Ns", &K::DNSBL_Ns)
        .Method("DNS_Reverse", &K::DNS_Reverse)
        .Method("DNS_Resolve", &K::DNS_Resolve)
        .Method("DNS_MX", &K::DNS_MX)
        .Method("DNS_NS", &K::DNS_NS)
        .Method("DNS_TXT", &K::DNS_TXT)
        .Method("DNS_Resolve6", &K::DNS_Resolve6);
}

}  // namespace core
