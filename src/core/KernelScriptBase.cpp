#include "core/KernelScriptBase.h"

#include "checks/DnsBL.h"
#include "checks/LocalDomains.h"
#include "common/NullText.h"
#include "core/MorvaneCore.h"

namespace core {

namespace {

bool Missing(const char* s) {
    return !s || !*s;
}
}  // namespace

float KernelScriptBase::DNSBL_Score(const char* ip) {
    return Core() && !Missing(ip) ? checks::DNSBL_Score(Core()->DnsBL(), ip) : 0.0f;
}

std::string KernelScriptBase::DNSBL_Ns(const char* ip) {
    return Core() && !Missing(ip) ? checks::DNSBL_Ns(Core()->DnsBL(), ip) : std::string();
}

#define MORVANE_DNS_FUNCTION(Name, Call)                                                      \
    std::string KernelScriptBase::Name(const char* name) {                                    \
        return Core() && !Missing(name) ? checks::Call(*Core()->Dns(), name) : std::string(); \
    }
MORVANE_DNS_FUNCTION(DNS_Reverse, DnsReverse)
MORVANE_DNS_FUNCTION(DNS_Resolve, DnsResolve)
MORVANE_DNS_FUNCTION(DNS_Resolve6, DnsResolve6)
MORVANE_DNS_FUNCTION(DNS_MX, DnsMx)
MORVANE_DNS_FUNCTION(DNS_NS, DnsNs)
MORVANE_DNS_FUNCTION(DNS_TXT, DnsTxt)
#undef MORVANE_DNS_FUNCTION

void KernelScriptBase::AddALWL(const char* sender, const char* recipients) {
    if (Core() && !Missing(sender) && !Missing(recipients)) Core()->AutoWhitelist()->Add(sender, recipients);
}

int32_t KernelScriptBase::IsALWL(const char* sender, const char* recipient) {
    if (!Core() || Missing(sender) || Missing(recipient)) return 0;
    return Core()->AutoWhitelist()->Contains(sender, recipient);
}

int32_t KernelScriptBase::ViewALWLDB(script::CS_Array* result, int32_t count, int32_t start, const char* filter,
                                     int32_t field) {
    if (!Core() || !result) return 0;
    return Core()->AutoWhitelist()->View(result, count, start, common::NullText(filter), field);
}

int32_t KernelScriptBase::ViewGreyListDB(script::CS_Array* result, int32_t count, int32_t start, const char* filter,
                                         int32_t field) {
    if (!Core() || !result) return 0;
    return Core()->Greylist()->View(result, count, start, common::NullText(filter), field);
}

void KernelScriptBase::StatisticValue(const char* key, int32_t category, int32_t sub_type, float value,
                                      int32_t operation) {
    if (Core() && !Missing(key)) Core()->Statistics()->AddItem(key, category, sub_type, value, operation);
}

script::Variable KernelScriptBase::GetDomain(const char* domain) {
    if (!Core() || Missing(domain)) return script::Variable(nullptr, nullptr);
    std::shared_ptr<checks::CDomainConf> d = Core()->LocalDomains()->GetDomain(domain);
    if (!d) return script::Variable(nullptr, nullptr);
    script::Variable v(d.get(), &script::ClassIdOf<checks::CDomainConf>::id);
    return held_.Keep({std::move(d), v});
}

script::Variable KernelScriptBase::GetPersistentOBJ(const char* name, const char* kind) {
    if (!Core()) return script::Variable(nullptr, nullptr);
    return held_.Keep(Core()->Persistent()->Get(name, kind));
}

script::Variable KernelScriptBase::CreatePersistentOBJ(const char* name, const char* kind) {
    if (!Core()) return script::Variable(nullptr, nullptr);
    return held_.Keep(Core()->Persistent()->Create(name, kind));
}

void KernelScriptBase::DeletePersistentOBJ(const char* name) {
    if (Core()) Core()->Persistent()->Delete(name);
}

}  // namespace core
