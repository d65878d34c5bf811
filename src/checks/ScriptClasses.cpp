#include "checks/ScriptClasses.h"

#include "classes/IoClasses.h"
#include "classes/MySql.h"
#include "classes/SimpleXml.h"
#include "common/NullText.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <bit>
#include <cstdio>
#include <cstring>

#include "checks/Bayes.h"
#include "checks/BayesFilter.h"
#include "checks/LocalDomains.h"
#include "checks/Persistent.h"
#include "checks/Rules.h"
#include "common/IpAddress.h"
#include "platform/HttpClient.h"
#include "platform/Paths.h"
#include "script/Bind.h"
#include "script/Imports.h"
#include "store/FileINI.h"

namespace checks {

CS_Dns::CS_Dns() : timeout_ms_(CDns::Global() ? CDns::Global()->timeout_ms.load() : CDns::kDefaultTimeoutMs) {}

std::string CS_Dns::DNS_Resolve(const char* name) {
    return name && CDns::Global() ? DnsResolve(*CDns::Global(), name, timeout_ms_) : std::string();
}
std::string CS_Dns::DNS_Resolve6(const char* name) {
    return name && CDns::Global() ? DnsResolve6(*CDns::Global(), name, timeout_ms_) : std::string();
}
std::string CS_Dns::DNS_Reverse(const char* ip) {
    return ip && CDns::Global() ? DnsReverse(*CDns::Global(), ip, timeout_ms_) : std::string();
}
std::string CS_Dns::DNS_MX(const char* domain) {
    return domain && CDns::Global() ? DnsMx(*CDns::Global(), domain, timeout_ms_) : std::string();
}
std::string CS_Dns::DNS_NS(const char* domain) {
    return domain && CDns::Global() ? DnsNs(*CDns::Global(), domain, timeout_ms_) : std::string();
}
std::string CS_Dns::DNS_TXT(const char* name) {
    return name && CDns::Global() ? DnsTxt(*CDns::Global(), name, timeout_ms_) : std::string();
}
void CS_Dns::AddNameServerDNS(const char* server) {
    if (server && CDns::Global()) CDns::Global()->AddNameServer(server);
}

int32_t CNetInfo::BuildNetInfo(script::CS_Array* result) {
    if (!result) return 0;
    result->Reset();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 1;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask) continue;
        if (i->ifa_addr->sa_family == AF_INET) {
            char addr[INET_ADDRSTRLEN], mask[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, addr, sizeof addr);
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr, mask, sizeof mask);
            result->AddValueS(addr, mask);
        } else if (i->ifa_addr->sa_family == AF_INET6) {
            // A zone-scoped (link-local) address is listed without its zone, as clients show it.
            common::IpAddress ip;
            ip.family = common::IpAddress::Family::kV6;
            std::memcpy(ip.bytes, &reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr, 16);
            const auto* mask =
                reinterpret_cast<const uint8_t*>(&reinterpret_cast<sockaddr_in6*>(i->ifa_netmask)->sin6_addr);
            int bits = 0;
            for (int b = 0; b < 16; ++b) bits += std::popcount(mask[b]);
            result->AddValueS(ip.ToString().c_str(), std::to_string(bits).c_str());
        }
    }
    freeifaddrs(list);
    return 1;
}

void CS_Statistic::AddItem(const char* name, int32_t type, int32_t sub_type, float value, int32_t mode) {
    if (name) stats_.AddItem(name, type, sub_type, value, mode);
}

void CS_Statistic::PopulatedArray(script::CS_Array* result) {
    if (!result) return;
    result->Reset();
    char buf[64];
    for (const StatCounter& c : stats_.Counters()) {
        std::snprintf(buf, sizeof buf, "%.3f|%d", static_cast<double>(c.value), c.type);
        result->AddValueS(c.name.c_str(), buf);
    }
}

namespace {

std::string ScriptPath(const char* path) {
    return path ? platform::ResolveAppPath(path) : std::string();
}

// CDB_Ram: the table operations with the script's signatures.
namespace dbram {
bool Open(store::CDB_RAM* t, const char* path) {
    std::string p = ScriptPath(path);
    return !p.empty() && t->Open(p);
}
bool Load(store::CDB_RAM* t) {
    return t->Load();
}
int32_t Query(store::CDB_RAM* t, const char* key, script::CS_Array* result, int32_t mode, int32_t field) {
    if (!result) return 0;
    result->Reset();
    store::CDB_RAM::Hits hits;
    t->Query(common::NullText(key), hits, mode, field);
    for (const auto& [k, v] : hits) result->Set(k, v);
    return 1;
}
int32_t Insert(store::CDB_RAM* t, const char* key, const char* value, int32_t allow_duplicate) {
    if (!key || !value) return 0;
    return t->Insert(key, value, allow_duplicate != 0);
}
int32_t Update(store::CDB_RAM* t, const char* key, const char* value, int32_t keep_time) {
    if (!key || !value) return 0;
    return t->Update(key, value, keep_time != 0) >= 0 ? 1 : 0;
}
int32_t Delete(store::CDB_RAM* t, const char* key) {
    return key ? t->Delete(key) : -1;
}
int32_t GetCount(store::CDB_RAM* t) {
    return t->GetCount();
}
bool Save(store::CDB_RAM* t) {
    return t->Save();
}
void Reset(store::CDB_RAM* t) {
    t->Reset();
}
// Nothing to close: a table keeps no file open between its operations.
void Close(store::CDB_RAM*) {}
}  // namespace dbram

// CS_FileCfg: an INI file of the script's own.
namespace filecfg {
int32_t Load(store::CFileINI* f, const char* file) {
    std::string p = ScriptPath(file);
    return !p.empty() && f->Load(p) ? 1 : 0;
}
bool LoadByString(store::CFileINI* f, const char* text) {
    return f->LoadByString(common::NullText(text));
}
bool Save(store::CFileINI* f, const char* file) {
    return f->Save(ScriptPath(file));
}
std::string ReadVar(store::CFileINI* f, const char* section, const char* key) {
    if (!section || !key) return std::string();
    return f->GetString(section, key, "").str();
}
void WriteVar(store::CFileINI* f, const char* section, const char* key, const char* value) {
    if (section && key && value) f->WriteString(section, key, value);
}
int32_t IsKeyExist(store::CFileINI* f, const char* section, const char* key) {
    return section && key && f->KeyExists(section, key) ? 1 : 0;
}
void DeleteKey(store::CFileINI* f, const char* section, const char* key) {
    if (section && key) f->DeleteKey(section, key);
}
int32_t GetConfigToArray(store::CFileINI* f, script::CS_Array* result, const char* section) {
    if (!result) return 0;
    for (const auto& [k, v] : f->ToPairs(common::NullText(section))) result->Set(k.View(), v.View());
    return 1;
}
}  // namespace filecfg

}  // namespace

void RegisterChecksImportables() {
    classes::RegisterIoImportables();
    classes::RegisterXmlImportables();
    classes::RegisterMySqlImportables();
    // A class whose methods take a HashArray knows the map's name even when the script did not
    // import HashArray itself.
    script::ClassIdOf<script::CS_Array>::SetName("HashArray");
    script::ClassIdOf<mail::CS_ParseMail>::SetName("CS_ParseMail");
    script::ClassIdOf<CS_Statistic>::SetName("CS_Statistic");
    script::ClassIdOf<store::CDB_RAM>::SetName("CDB_Ram");
    script::ClassIdOf<CRulesResult>::SetName("CS_RulesResult");
    script::ClassIdOf<store::CFileINI>::SetName("CS_FileCfg");
    script::ClassIdOf<CS_Flag>::SetName("CS_Flag");
    script::ClassIdOf<CDomainConf>::SetName("CDomainConf");
    // Returned by the cron and admin hosts before a script imports them.
    script::ClassIdOf<CBayes>::SetName("CS_Bayes");
    script::ClassIdOf<CBayesWord>::SetName("CS_BayesWord");
    script::ClassIdOf<CBayesFilter>::SetName("CS_BayesFilter");
    script::ClassIdOf<CRules>::SetName("CS_RulesDB");
    script::RegisterImportable("CS_Dns", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CS_Dns>>("CS_Dns");
        c->Method("DNS_Resolve", &CS_Dns::DNS_Resolve)
            .Method("DNS_Reverse", &CS_Dns::DNS_Reverse)
            .Method("DNS_MX", &CS_Dns::DNS_MX)
            .Method("DNS_NS", &CS_Dns::DNS_NS)
            .Method("DNS_TXT", &CS_Dns::DNS_TXT)
            .Method("DNS_Resolve6", &CS_Dns::DNS_Resolve6)
            .Method("AddNameServerDNS", &CS_Dns::AddNameServerDNS)
            .Method("SetTimeOut", &CS_Dns::SetTimeOut);
        in.AddExternClass("CS_Dns", std::move(c));
    });
    script::RegisterImportable("CNetInfo", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CNetInfo>>("CNetInfo");
        c->Method("BuildNetInfo", &CNetInfo::BuildNetInfo);
        in.AddExternClass("CNetInfo", std::move(c));
    });
    script::RegisterImportable("CS_Statistic", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CS_Statistic>>("CS_Statistic");
        c->Method("AddItem", &CS_Statistic::AddItem, ",0,0,0,3")
            .Method("Reset", &CS_Statistic::Reset)
            .Method("Load", &CS_Statistic::Load)
            .Method("Save", &CS_Statistic::Save)
            .Method("PopulatedArray", &CS_Statistic::PopulatedArray);
        in.AddExternClass("CS_Statistic", std::move(c));
    });
    // Tables and INI files a script creates and owns.
    script::RegisterImportable("CDB_Ram", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<store::CDB_RAM>>("CDB_Ram");
        c->Method("Open", &dbram::Open)
            .Method("Load", &dbram::Load)
            .Method("Query", &dbram::Query, ",,0,0")
            .Method("Insert", &dbram::Insert, ",,0")
            .Method("Update", &dbram::Update, ",,0")
            .Method("Delete", &dbram::Delete)
            .Method("GetCount", &dbram::GetCount)
            .Method("Save", &dbram::Save)
            .Method("Reset", &dbram::Reset)
            .Method("Close", &dbram::Close);
        in.AddExternClass("CDB_Ram", std::move(c));
    });
    script::RegisterImportable("CS_FileCfg", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<store::CFileINI>>("CS_FileCfg");
        c->Method("Load", &filecfg::Load)
            .Method("LoadByString", &filecfg::LoadByString)
            .Method("Save", &filecfg::Save, "0")
            .Method("ReadVar", &filecfg::ReadVar)
            .Method("WriteVar", &filecfg::WriteVar)
            .Method("IsKeyExist", &filecfg::IsKeyExist)
            .Method("DeleteKey", &filecfg::DeleteKey)
            .Method("GetConfigToArray", &filecfg::GetConfigToArray, ",0");
        in.AddExternClass("CS_FileCfg", std::move(c));
    });
    // Objects come from GetDomain.
    script::RegisterImportable("CDomainConf", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CDomainConf>>("CDomainConf");
        c->Method("WaitForSession", &CDomainConf::WaitForSession)
            .Method("StartSession", &CDomainConf::StartSession)
            .Method("EndSession", &CDomainConf::EndSession)
            .Method("GetVar", &CDomainConf::GetVar)
            .Method("SetVar", &CDomainConf::SetVar)
            .Method("GetDomainName", &CDomainConf::GetDomainName)
            .Method("GetDBRam", &CDomainConf::GetDBRam)
            .Method("Save", &CDomainConf::Save)
            .Method("Delete", &CDomainConf::Delete);
        in.AddExternClass("CDomainConf", std::move(c));
    });
    script::RegisterImportable("CS_Flag", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CS_Flag>>("CS_Flag");
        c->Method("SetFloat", &CS_Flag::SetFloat)
            .Method("SetInt", &CS_Flag::SetInt)
            .Method("SetBool", &CS_Flag::SetBool)
            .Method("SetString", &CS_Flag::SetString)
            .Method("GetFloat", &CS_Flag::GetFloat)
            .Method("GetInt", &CS_Flag::GetInt)
            .Method("GetBool", &CS_Flag::GetBool)
            .Method("GetString", &CS_Flag::GetString);
        in.AddExternClass("CS_Flag", std::move(c));
    });
    script::RegisterImportable("CS_BayesWord", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CBayesWord>>("CS_BayesWord");
        c->Method("Elaborate", &CBayesWord::Elaborate);
        in.AddExternClass("CS_BayesWord", std::move(c));
    });
    // Objects a script creates work on the application directory's own tables after Load.
    script::RegisterImportable("CS_Bayes", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CBayes>>("CS_Bayes");
        c->Method("Load", &CBayes::ScriptLoad)
            .Method("SetMinOccurrences", &CBayes::SetMinOccurrences)
            .Method("PopolateDB", &CBayes::PopolateDB)
            .Method("RemoveNeutral", &CBayes::RemoveNeutral, "0")
            .Method("AddQuarantine", &CBayes::AddQuarantine, ",,,,0")
            .Method("GetDBRam", &CBayes::GetDBRam)
            .Method("GetWordsCount", &CBayes::GetWordsCount)
            .Method("IsSpam", &CBayes::IsSpam);
        in.AddExternClass("CS_Bayes", std::move(c));
    });
    // A filter a script makes is a scratch one; cron, admin and web scripts get the kernel's
    // through GetBayesFilter.
    script::RegisterImportable("CS_BayesFilter", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CBayesFilter>>("CS_BayesFilter");
        c->Method("Score", &CBayesFilter::ScriptScore)
            .Method("Verdict", &CBayesFilter::ScriptVerdict)
            .Method("Learn", &CBayesFilter::ScriptLearn)
            .Method("Unlearn", &CBayesFilter::ScriptUnlearn)
            .Method("GetLearned", &CBayesFilter::GetLearned)
            .Method("GetTokens", &CBayesFilter::GetTokens)
            .Method("Expire", &CBayesFilter::ScriptExpire)
            .Method("Save", &CBayesFilter::ScriptSave);
        in.AddExternClass("CS_BayesFilter", std::move(c));
    });
    // A script's own rule table; cron and admin scripts get the kernel's through GetRulesDB.
    script::RegisterImportable("CS_RulesDB", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CRules>>("CS_RulesDB");
        c->Method("Open", &CRules::Open)
            .Method("Load", &CRules::Load)
            .Method("Save", &CRules::Save)
            .Method("AddRule", &CRules::AddRule)
            .Method("CheckRule", &CRules::CheckRule)
            .Method("ViewRules", &CRules::ViewRules)
            .Method("RuleTest", &CRules::RuleTest, ",,,,0")
            .Method("DeleteRule", &CRules::DeleteRule)
            .Method("UpdateRule", &CRules::UpdateRule)
            .Method("SetRuleScore", &CRules::SetRuleScore)
            .Method("EnableRule", &CRules::EnableRule)
            .Method("RuleHits", &CRules::RuleHits)
            .Method("RegularExpressionCheck", &CRules::RegularExpressionCheck, "0,0");
        in.AddExternClass("CS_RulesDB", std::move(c));
    });
    script::RegisterImportable("CS_HttpClient", [](script::Interpreter& in) {
        using H = platform::CMorvaneHTTPClient;
        auto c = std::make_unique<script::ExternClass<H>>("CS_HttpClient");
        c->Method("SendRequest", &H::SendRequest, ",,0")
            .Method("GetHeader", &H::GetHeader)
            .Method("GetResult", &H::GetResult)
            .Method("SetTimeOut", &H::SetTimeOut)
            .Method("SetAgentName", &H::SetAgentName)
            .Method("SetMaxBufferLen", &H::SetMaxBufferLen)
            .Method("SetIPAdatper", &H::SetIPAdatper);
        in.AddExternClass("CS_HttpClient", std::move(c));
    });
    script::RegisterImportable("CS_RulesResult", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CRulesResult>>("CS_RulesResult");
        c->Method("GetRulesCount", &CRulesResult::GetRulesCount)
            .Method("GetRulesName", &CRulesResult::GetRulesName)
            .Method("GetRulesRE", &CRulesResult::GetRulesRE)
            .Method("GetRulesScore", &CRulesResult::GetRulesScore);
        in.AddExternClass("CS_RulesResult", std::move(c));
    });
}

}  // namespace checks
