#pragma once

// The Directory Agent's registrations, in store order: the registrations file's entries in file
// order, then network registrations in arrival order (a fresh re-registration moves an entry to
// the end). Entries are indexed by service type and by attribute value, so that a lookup naming
// a type and an equality costs about the same however many entries there are. Times are
// milliseconds of a monotonic clock, passed in by the caller. Not thread-safe: the agent serves
// one message at a time.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "slp_attr.h"
#include "slp_filter.h"
#include "slp_wire.h"

namespace slpda {

struct Registration {
    std::string url;
    std::string lang;
    std::string type;  // as registered, e.g. "service:ESMProxy"
    std::vector<std::string> scopes;
    std::vector<Attribute> attrs;  // sorted by tag
    uint16_t lifetime = 0;         // 65535: permanent, never ages
    int64_t expiresMs = 0;
    bool fromFile = false;  // loaded from the registrations file, replaced when it is re-read
};

constexpr uint16_t kPermanent = 65535;

class Store {
public:
    // At most maxEntries registrations (URL and language pairs) are held, each with at most
    // maxAttrs attribute values and keywords (attributeCount) of at most maxAttrBytes
    // (attributeBytes).
    explicit Store(size_t maxEntries = 10000, size_t maxAttrs = SIZE_MAX,
                   size_t maxAttrBytes = SIZE_MAX)
        : mMaxEntries(maxEntries), mMaxAttrs(maxAttrs), mMaxAttrBytes(maxAttrBytes) {}

    // Adds a network registration. Fresh: replaces any entry of the same URL and language and
    // moves it to the end. Not fresh (an update): the entry must exist with the same type (else
    // INVALID_UPDATE) and scopes (else SCOPE_NOT_SUPPORTED); the listed attributes replace those
    // of the same tag. A new entry beyond maxEntries gets DA_BUSY_NOW; attributes beyond the
    // limits, those of a fresh registration or those an update would leave, get
    // INVALID_REGISTRATION. Returns a protocol error code (0 on success); for a limit, *limit
    // (when given) names the agent's option that sets it: "max-registrations", "max-attrs", or
    // "max-message" for maxAttrBytes.
    uint16_t add(Registration reg, bool fresh, int64_t nowMs, const char** limit = nullptr);

    // Removes a URL (every language) when tags is empty, else only the attributes whose tags
    // match one of the comma-separated patterns (which may use '*'). The scope list must equal the
    // registration's (else SCOPE_NOT_SUPPORTED). An unknown URL is not an error.
    uint16_t remove(const std::string& url, const std::vector<std::string>& scopes,
                    const std::string& tags, int64_t nowMs);

    // Replaces the entries that came from the registrations file by regs, which go before every
    // network registration, in their order. A URL and language registered over the network
    // keeps its network entry (it arrived after the file was last read). Returns the number of
    // file entries now held.
    size_t replaceFileEntries(std::vector<Registration> regs, int64_t nowMs);

    // The live entries whose type matches `type`, which share a scope with `scopes` and satisfy
    // the filter, in store order, each URL once, with its remaining lifetime. Each entry tried
    // costs kEntryWork and the filter its own work (Filter::matches); a lookup that would cost
    // more than maxWork stops and returns nothing with *overWork set (when given). Collecting
    // stops once the URLs found would fill more than maxBytes of URL entries in a reply (the
    // last one found is still returned, so the caller sees that not all fit).
    std::vector<slpwire::UrlEntry> find(const std::string& type,
                                        const std::vector<std::string>& scopes,
                                        const Filter& filter, int64_t nowMs,
                                        size_t maxWork = SIZE_MAX, bool* overWork = nullptr,
                                        size_t maxBytes = SIZE_MAX);

    // The work of trying one entry, in the units of Filter::matches: about what its type and
    // scope checks and its bookkeeping cost against one comparison.
    static constexpr size_t kEntryWork = 4;

    // Number of live entries.
    size_t size(int64_t nowMs);

private:
    using Seq = uint64_t;  // position in store order
    using Posting = std::set<Seq>;

    // A registration with the comparison forms a lookup needs, made once.
    struct Entry {
        Registration reg;
        std::string typeKey;                 // typeKey(reg.type)
        std::vector<std::string> scopeKeys;  // the scopes folded
    };

    void expire(int64_t nowMs);
    void insert(Seq seq, Registration reg);
    void erase(Seq seq);
    void index(Seq seq, const Registration& r, bool add);
    void postings(const std::vector<std::string>& keys, std::vector<const Posting*>* out) const;

    // INVALID_REGISTRATION, with *limit named, unless attrs fit the limits; else 0.
    uint16_t checkAttrs(const std::vector<Attribute>& attrs, const char** limit) const;

    size_t mMaxEntries;
    size_t mMaxAttrs;
    size_t mMaxAttrBytes;
    Seq mNextFileSeq = 1;
    Seq mNextNetSeq = Seq{1} << 48;  // network entries follow every file entry
    std::unordered_map<Seq, Entry> mEntries;
    std::unordered_map<std::string, Seq> mByUrlLang;
    std::unordered_map<std::string, uint32_t> mUrlCount;  // entries per URL (one per language)
    std::unordered_map<std::string, Posting> mByType;     // typeKey and its abstract part
    std::unordered_map<std::string, Posting> mByValue;    // indexKey of every attribute value
    std::set<std::pair<int64_t, Seq>> mExpiry;            // entries that age, by expiry time
};

}  // namespace slpda
