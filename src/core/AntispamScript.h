#pragma once
// The antispam script host of one session: CS_PROXY_ANTISPAM_INSTANCE holds the connection's
// interpreters (one per configured script, "cs_N" = "flag|file" under scripts/antispam/),
// compiles them, raises the session's events in each and ORs their results. CS_ANTISPAM_SCRIPT
// is the native class the scripts construct from "$_this":
//     CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);
// and through which they act on the connection and reach the kernel's engines.
//
// A host belongs to its session and is used only on the session's thread. Engines that later
// work brings (SPF, Bayes, rules, phishing, domains, persistent objects, the cooperative
// network) answer with their neutral values until they exist.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "checks/Persistent.h"
#include "common/String.h"
#include "core/KernelScriptBase.h"
#include "script/Builtins.h"
#include "script/CS_Array.h"
#include "script/Interpreter.h"

namespace core {

class CLauchAntispam;

// One configured script and its interpreter.
struct AntispamScriptSlot {
    std::string path;
    std::unique_ptr<script::Interpreter> in;
    bool loaded = false;          // natives registered and the file compiled
    bool compiled = false;        // receives events
    bool compile_failed = false;  // stays so until the file changes
    bool reported = false;        // its failure was logged
    std::string stamp;            // the file's modification time and size when compiled
    std::string error;            // the last compile or run diagnostics

    // The core script: when it fails, the session ends.
    bool IsCoreScript() const;
};

class CS_PROXY_ANTISPAM_INSTANCE {
public:
    explicit CS_PROXY_ANTISPAM_INSTANCE(CLauchAntispam* session) : session_(session) {}
    ~CS_PROXY_ANTISPAM_INSTANCE();
    CS_PROXY_ANTISPAM_INSTANCE(const CS_PROXY_ANTISPAM_INSTANCE&) = delete;
    CS_PROXY_ANTISPAM_INSTANCE& operator=(const CS_PROXY_ANTISPAM_INSTANCE&) = delete;

    // Gets the interpreters ready for a connection. A script is compiled once and compiled again
    // only when its file changed (time or size), the script list changed, or Forget was called
    // (a reload). Without `caching` each connection gets a fresh instance of the compiled
    // program (Interpreter::Restart: own globals, global code run again); with it, globals
    // persist between connections. `entries` are the cs_N values, `script_dir` the directory
    // holding them. Without entries the count stays -1.
    void Register(const std::vector<common::String>& entries, const std::string& script_dir, bool caching);
    // Every script is compiled again at the next Register.
    void Forget() { scripts_.clear(); }
    // -1 without a script list, else the number of scripts.
    int Count() const { return count_; }
    std::vector<std::unique_ptr<AntispamScriptSlot>>& Scripts() { return scripts_; }
    // True when a script has failed (compile or run time) and the host must be rebuilt.
    bool AnyFailed() const;

    // Raises an event in every compiled script that defines it; the OR of their results.
    // 1 without an interpreter array (so a connection without scripts ends at once).
    int Event(const char* name);
    int Event(const char* name, const char* types, std::initializer_list<const void*> values);

    CLauchAntispam* Session() const { return session_; }
    AntispamScriptSlot* Current() const { return current_; }
    void RegisterGlobalVariable(const std::string& name);
    void SetGlobalVariable(const std::string& name, const std::string& value);

private:
    void Compile(AntispamScriptSlot& slot);
    void Restart(AntispamScriptSlot& slot);

    CLauchAntispam* session_;
    CS_PROXY_ANTISPAM_INSTANCE* self_ = this;  // what "$_this" reads
    AntispamScriptSlot* current_ = nullptr;
    std::vector<std::unique_ptr<AntispamScriptSlot>> scripts_;
    std::vector<std::string> paths_;  // what scripts_ was built for
    int count_ = -1;
    std::set<std::string> globals_;                             // registered names
    std::vector<std::pair<std::string, std::string>> changed_;  // this call's changes, in order
};

// The scripts' view of their connection and of the kernel.
class CS_ANTISPAM_SCRIPT : public KernelScriptBase {
public:
    explicit CS_ANTISPAM_SCRIPT(CS_PROXY_ANTISPAM_INSTANCE* instance);

    void Exit() override;
    void Print(const char* text);
    void WriteLog(int32_t level, const char* text, const char* type);
    void RegisterGlobalVariable(const char* name);
    void SetGlobalVariable(const char* name, const char* value);
    std::string GetClientIP();
    std::string GetClientReverseDns();
    // 1 when the client switched to TLS (STARTTLS), and its protocol and cipher.
    int32_t IsClientTLS();
    std::string GetClientTLSInfo();
    std::string GetMTAIP();
    int32_t IsIpInferno(const char* ip);
    void AddIpInferno(const char* ip, int32_t expiry);
    int32_t IsIpWhiteList(const char* ip);
    int32_t IsIpMaxSession(const char* ip);
    void RegisterSessionIp(const char* ip);
    int32_t ConnectToDefaultMTA();
    int32_t ConnectToMTA(const char* host, const char* port);
    std::string GetNameServerMTA();
    std::string GetReplaceNameServerMTA();
    void InjectionExtensionMTA(const char* text);
    void DropExtensionMTA(const char* text);
    int32_t IsRelayIp(const char* ip);
    int32_t IsLanIp(const char* ip);
    int32_t ClientIsRelay();
    void SendToMTA(const char* text);
    void SendToClient(const char* text);
    void CloseClientConnection();
    void CloseMTAConnection();
    void CloseAllConnection();
    void DropBufferToMTA();
    void DropBufferToClient();
    void CloseClientConnAfterSendingQueue();
    int32_t IsForgetHelo(const char* helo);
    int32_t SPFQuery(const char* ip, const char* mail_from, const char* helo);
    std::string SPFResultString(int32_t result);
    // The DKIM signatures of the session's message, verified (keys through the kernel's DNS
    // engine): "RESULT DOMAIN SELECTOR" per signature, with "(why)" after all but pass,
    // separated by "; "; "" without a signature or outside a session. RESULT is pass, fail,
    // neutral, policy, temperror or permerror.
    std::string DkimResults();
    // The From domain's DMARC verdict: "RESULT POLICY DOMAIN ALIGNED", with "(why)" after all
    // but pass. RESULT is pass, fail, none, temperror or permerror; POLICY (none, quarantine,
    // reject) the one to apply, after the record's sp= and pct=; ALIGNED which passing result
    // is aligned with the From domain, even without a record: dkim+spf, dkim, spf or none.
    std::string DmarcResult();
    // Adds the Authentication-Results field (RFC 8601) to the held message, first removing any
    // that carries this kernel's authserv-id; answers the field's value ("" when the header was
    // already sent on).
    std::string AddAuthenticationResults();
    int32_t GetErrorCountRFC();
    void SetErrorCountRFC(int32_t count);
    int32_t IsLocalDomainByRCPT_TO(const char* address);
    // How many local domains the kernel knows: a policy refuses relaying only once it has some.
    int32_t GetLocalDomainCount();
    int32_t IsWhiteBlackList(const char* recipients, const char* sender);
    int32_t IsSpamLover(const char* address);
    int32_t GetSessionProperty();
    void RegisterSessionProperty(int32_t bits);
    float RecalculatingScoreByUser(float score, float limit, const char* address);
    int32_t IsSpamTrap(const char* address);
    std::string GetSpamTrapResponse();
    void BrumaCommunityAnnunce(const char* a, const char* b, const char* c);
    float BrumaCommunityQuery(const char* a, const char* b, const char* c);
    std::string BrumaCommunityGetEnumStringFormScore(float score);
    int32_t IsWhiteIpGreyList(const char* ip);
    std::string PrepareTriplesGreyList(const char* recipients, const char* ip, const char* mail_from,
                                       const char* substitute, const char* reverse);
    int32_t PassGreyList(const char* key);
    int32_t GetForgedCountGreyList(const char* key);
    void ResetForgedCountGreyList(const char* key);
    void AddToGreyList(const char* key);
    // Adds a note to this connection's message-history record.
    void HistoryNote(const char* text);
    // The held quarantine (CLauchAntispam::HoldWholeMessage and Hold); 0 for the limit is
    // [QUARANTINE] max_bytes.
    int32_t HoldWholeMessage(int32_t max_bytes);
    int32_t HoldMessage();
    int32_t BayesianCheck(const char* message);
    // The statistical filter on the session's message (or a message file): the spam
    // probability in [0,1], or -1 when the filter gives no verdict yet (too little learned).
    // BayesFilterVerdict is the verdict of the last score (1 SPAM, 2 HAM, 3 UNSURE, 4
    // UNTRAINED); BayesFilterLearn learns the session's message as spam (1) or ham (2) and
    // answers 1 when the counts changed.
    float BayesFilterScore(const char* file);
    int32_t BayesFilterVerdict() { return filter_verdict_; }
    // The policy's points for a spam probability, by the [BAYES] cut-offs and points
    // (core::BayesPoints, which the message check of the GUI shares).
    float BayesFilterPoints(float p);
    int32_t BayesFilterLearn(int32_t kind);
    void AddToBayesianQuarantine(const char* a, const char* b, int32_t c, script::Variable mail);
    int32_t IsPhishing(script::Variable mail);
    std::string GetFakePhishingDomain();
    std::string GetEmailBody();
    std::string GetEmailHeader();
    std::string GetEmailSubject();
    std::string GetEmailMailFrom();
    std::string GetEmailMailTo();
    std::string GetEmailContentType();
    std::string GetEmailRaw();
    int32_t GetEmailAttachmentCount();
    int32_t GetEmailLen();
    std::string GetEmailAttachmentBuffer(int32_t index);
    std::string GetEmailAttachmentContentType(int32_t index);
    float RegularExpressionCheck(script::Variable mail, script::Variable result);
    void WriteHeaderMessage(const char* line);
    void ModifyHeaderSubject(const char* tag);

protected:
    std::string ConfigValue(const std::string& section, const char* key) override;
    CMorvaneCore* Core() const override;

private:
    CLauchAntispam* session() const;
    CS_PROXY_ANTISPAM_INSTANCE* instance_;
    std::string phishing_domain_;
    int32_t filter_verdict_ = 4;
};

// Registers the CS_ANTISPAM_SCRIPT class and every host function into an interpreter.
void RegisterAntispamClass(script::Interpreter& in);

}  // namespace core
