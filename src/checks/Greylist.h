#pragma once
// CGreylist: delays first-time mail. An unknown (origin, sender, recipient) triple is recorded
// and refused until its embargo has passed; retries inside the embargo are counted ("forged"
// retries, which scripts may score); a pass after the embargo is counted in a recall bucket by
// how long the sender took.
//
// Triples are text: origin 0x02 sender 0x02 recipient, where the origin is the parent domain of
// the client's reverse name (all hosts of one provider share triples) or else its address (an
// IPv6 address's /64, "2001:db8:1:2::/64"), and
// the sender has any BATV tag removed. A triple list joins triples with 0x03. Records live in
// one table keyed by the triple's MD5: data = triple 0x02 retry-count [0x02 "1" after a reset],
// timestamp = first sighting.
//
// Any thread may call it; each record changes under its table's lock.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "checks/AddressList.h"
#include "checks/ListTable.h"
#include "checks/Statistics.h"
#include "common/ClientPrefix.h"
#include "script/CS_Array.h"
#include "store/DB_RAM.h"

namespace checks {

// Removes a leading BATV tag ("prvs=...=") from an address.
std::string StripBatv(std::string_view address);

class CGreylist : public CListTable {
public:
    using TimeSource = int64_t (*)();

    // Opens and loads the table at `table_path` (empty: memory only). `stats` may be null.
    CGreylist(const std::string& table_path, CStatitiche_Day* stats, TimeSource now = nullptr);

    void SetEmbargo(uint32_t unit, uint32_t amount);
    void SetAge(uint32_t unit, uint32_t amount) { table_.SetAge(unit, amount); }
    void SetPrefix(common::ClientPrefix prefix) { prefix_ = prefix; }
    common::ClientPrefix Prefix() const { return prefix_; }

    // The triples of a message, one per recipient: origin, sender, recipient. The origin is
    // the domain of a provider's reverse name, else the client's group (`prefix`: an IPv6
    // client is its /64 unless set otherwise), so a retry from another address of the same
    // pool or network is the same client.
    static std::string PrepareTriples(std::string_view recipients, std::string_view client_ip,
                                      std::string_view mail_from, std::string_view mail_from_substitute,
                                      std::string_view reverse_name, common::ClientPrefix prefix = {});
    // Records every triple not yet known; counts "f8_grey_bloc" when the first one is new.
    void Add(std::string_view triples);
    // 1 when some triple has waited out the embargo (counting its recall); early retries count.
    int Pass(std::string_view triples);
    // The retry count of the last known triple, 0 when none is known.
    // The operator's word on a waiting record (its key, as View lists it): the client's next
    // retry passes. False when there is no such record.
    bool PassNow(std::string_view key);
    int GetForgedCount(std::string_view triples);
    void ResetForgedCount(std::string_view triples);
    // Lists records into `result` (see the scripts' ViewGreyListDB). 1, or 0 without an array.
    int View(script::CS_Array* result, int count, int start, std::string_view filter, int field);

    CAddressList& WhiteList() { return white_; }
    int IsWhiteIp(std::string_view ip, CDns* dns) const { return white_.Contains(ip, dns); }

private:
    void Count(const char* name);
    int64_t Now() const { return now_(); }

    CStatitiche_Day* stats_;
    TimeSource now_;
    std::atomic<int64_t> embargo_{0};
    std::atomic<common::ClientPrefix> prefix_{};
    CAddressList white_;
};

// Lists a table's live records in index order into `result` (key -> value), numbered from 1
// among those whose selected field matches `filter` (a case-insensitive pattern; `fields` are
// the data's 0x02-separated fields, selector 0 the key); records numbered start..start+count are
// listed. `value` formats one record. Shared by the greylist and auto-whitelist views.
int ViewTable(store::CDB_RAM& table, script::CS_Array* result, int count, int start, std::string_view filter, int field,
              int field_count,
              const std::function<std::string(const store::DbRecord&, const std::vector<std::string>&)>& value);

}  // namespace checks
