#pragma once

/* The synchronous service lookup and registration subset of the SLP client interface
 * (RFC 2614), with the standard names, types and values, speaking SLPv2 (RFC 2608) to the
 * Directory Agents listed in the property "net.slp.DAAddresses". Every function may be called
 * from any thread; properties are process-wide. */

#ifdef __cplusplus
extern "C" {
#endif

#ifndef SLPEXP
#define SLPEXP
#endif
#ifndef SLPAPI
#define SLPAPI
#endif
#ifndef SLPCALLBACK
#define SLPCALLBACK
#endif

typedef void* SLPHandle;

typedef enum { SLP_FALSE = 0, SLP_TRUE = 1 } SLPBoolean;

typedef enum { SLP_LIFETIME_DEFAULT = 10800, SLP_LIFETIME_MAXIMUM = 65535 } SLPURLLifetime;

typedef enum {
    SLP_LAST_CALL = 1,
    SLP_OK = 0,
    SLP_LANGUAGE_NOT_SUPPORTED = -1,
    SLP_PARSE_ERROR = -2,
    SLP_INVALID_REGISTRATION = -3,
    SLP_SCOPE_NOT_SUPPORTED = -4,
    SLP_AUTHENTICATION_ABSENT = -6,
    SLP_AUTHENTICATION_FAILED = -7,
    SLP_INVALID_UPDATE = -13,
    SLP_REFRESH_REJECTED = -15,
    SLP_NOT_IMPLEMENTED = -17,
    SLP_BUFFER_OVERFLOW = -18,
    SLP_NETWORK_TIMED_OUT = -19,
    SLP_NETWORK_INIT_FAILED = -20,
    SLP_MEMORY_ALLOC_FAILED = -21,
    SLP_PARAMETER_BAD = -22,
    SLP_NETWORK_ERROR = -23,
    SLP_INTERNAL_SYSTEM_ERROR = -24,
    SLP_HANDLE_IN_USE = -25,
    SLP_TYPE_ERROR = -26
} SLPError;

/* Called once per URL found with SLP_OK, the URL (owned by the library: copy it) and its
 * lifetime, then once more with SLP_LAST_CALL, a null URL and lifetime 0. Return SLP_TRUE for
 * more results, SLP_FALSE to stop (no further call is made). */
typedef SLPBoolean SLPCALLBACK SLPSrvURLCallback(SLPHandle hSLP, const char* pcSrvURL,
                                                 unsigned short sLifetime, SLPError errCode,
                                                 void* pvCookie);

/* Called once by SLPReg and SLPDereg with what they return (SLP_OK: done). */
typedef void SLPCALLBACK SLPRegReport(SLPHandle hSLP, SLPError errCode, void* pvCookie);

/* Opens a handle for language pcLang (null or "" = property "net.slp.locale"). Only synchronous
 * handles exist: isAsync SLP_TRUE gives SLP_NOT_IMPLEMENTED. On failure *phSLP is null. */
SLPEXP SLPError SLPAPI SLPOpen(const char* pcLang, SLPBoolean isAsync, SLPHandle* phSLP);

/* Frees the handle; does nothing for a null or unknown handle. While a lookup runs on it (closed
 * from its callback or another thread), the handle takes no new calls and is freed when the
 * lookup ends. */
SLPEXP void SLPAPI SLPClose(SLPHandle hSLP);

/* Finds the URLs of pcServiceType in pcScopeList (null or "" = "net.slp.useScopes") matching
 * pcSearchFilter (null or "" = all). Asks each Directory Agent of "net.slp.DAAddresses" in turn
 * (entries "host" on port "net.slp.port", or "a.b.c.d:port"), over UDP with the retry schedule
 * "net.slp.unicastTimeouts" bounded by "net.slp.unicastMaximumWait" per agent, and over TCP when
 * the reply does not fit a datagram. The first agent that answers without error gives the
 * result; the callback runs on the calling thread before this returns. When none does, the
 * error of the last agent asked is returned (an agent's own error code in preference to a network
 * failure) and the callback is not called: SLP_NETWORK_TIMED_OUT (no answer),
 * SLP_NETWORK_ERROR (socket error or refusal), minus the agent's error code, or
 * SLP_NETWORK_INIT_FAILED when no agent is configured (there is no multicast). One lookup per
 * handle at a time (else SLP_HANDLE_IN_USE).
 *
 * Agents that fail are remembered process-wide: one that timed out or refused is held down for
 * "esm.slp.DAHoldDown" milliseconds (this library's own property, default 30000; 0 turns the
 * memory off) and passed over by every lookup meanwhile, unless every listed agent is held down
 * (then all are asked in list order). When no agent asked answered at all, the lookup asks
 * those it passed over after all. Once the hold-down has run out, one lookup asks the agent
 * again while the others keep passing it over. Of lookups asking one agent at once, only the
 * first to need a retransmission waits on it; the others go on to the next agent that is not
 * held down, if any. Any answer, an error code included, makes an agent trusted again. While
 * every agent answers the first request it is sent, lookups ask exactly as without this memory. */
SLPEXP SLPError SLPAPI SLPFindSrvs(SLPHandle hSLP, const char* pcServiceType,
                                   const char* pcScopeList, const char* pcSearchFilter,
                                   SLPSrvURLCallback callback, void* pvCookie);

/* Registers pcSrvURL for usLifetime seconds (1..65535) with the attribute list pcAttrs (wire
 * form, "(addr=128.2.1.7),(mask=255.255.255.255)"; null or "" = none), in the scopes of
 * "net.slp.useScopes" and the handle's language, with every Directory Agent of
 * "net.slp.DAAddresses" in list order. Each is asked as SLPFindSrvs asks one (UDP with the retry
 * schedule, TCP when the message does not fit a datagram; an agent that stays DA_BUSY_NOW has
 * answered it). The service type is the URL's, the text before "://" ("service:ESMProxy");
 * pcSrvType counts only for a URL outside the "service:" scheme (null or "" = its scheme).
 * fresh SLP_TRUE replaces any registration of the URL, SLP_FALSE updates its attributes.
 * The callback runs once, on the calling thread, before this returns, with the value returned:
 * minus the error code of the first agent that answered one (SLP_AUTHENTICATION_ABSENT for an
 * agent that does not take registrations from this host), else SLP_OK when some agent
 * acknowledged, else the failure of the last agent as SLPFindSrvs gives it
 * (SLP_NETWORK_TIMED_OUT, SLP_NETWORK_ERROR, SLP_NETWORK_INIT_FAILED without agents).
 * SLP_PARAMETER_BAD without a callback call for a bad handle, a null callback, a URL without
 * "://" or lifetime 0; SLP_HANDLE_IN_USE as for SLPFindSrvs. What each agent did goes to the
 * agent observer (slp_agents.h); the hold-down memory of lookups is neither read nor changed. */
SLPEXP SLPError SLPAPI SLPReg(SLPHandle hSLP, const char* pcSrvURL, const unsigned short usLifetime,
                              const char* pcSrvType, const char* pcAttrs, SLPBoolean fresh,
                              SLPRegReport callback, void* pvCookie);

/* Removes the registration of pcSrvURL (all its attributes, in the scopes of "net.slp.useScopes")
 * from every Directory Agent of "net.slp.DAAddresses", as SLPReg registers it, with the same
 * results. An agent that does not hold the URL acknowledges it all the same. */
SLPEXP SLPError SLPAPI SLPDereg(SLPHandle hSLP, const char* pcSrvURL, SLPRegReport callback,
                                void* pvCookie);

/* The current value of a property (library-owned, valid for the life of the process), its
 * default when never set, null for an unknown name that was never set. */
SLPEXP const char* SLPAPI SLPGetProperty(const char* pcName);

/* Sets a property for this process; later lookups use the new value. Null arguments are
 * ignored. */
SLPEXP void SLPAPI SLPSetProperty(const char* pcName, const char* pcValue);

#ifdef __cplusplus
}
#endif
