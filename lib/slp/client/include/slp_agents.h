#pragma once

/* The project's own addition to the SLP client interface: what each Directory Agent did for a
 * lookup (or a registration), so that a program can tell an agent that is down from one that
 * has nothing registered, and count both. Not part of RFC 2614; only the built-in client has
 * it. */

#include "slp.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    SLP_AGENT_FOUND = 0,   /* answered with at least one URL */
    SLP_AGENT_NONE = 1,    /* answered without error and without a URL (for SLPReg and
                              SLPDereg: acknowledged) */
    SLP_AGENT_TIMEOUT = 2, /* no answer within the retry schedule */
    SLP_AGENT_REFUSED = 3, /* nobody listens there (port unreachable, connection refused) */
    SLP_AGENT_ERROR = 4,   /* answered an error code, an address that does not resolve, or
                              another network failure */
    SLP_AGENT_SKIPPED = 5  /* not asked: held down after it timed out or refused (error is that
                              failure), or another lookup is already waiting on it (error is
                              SLP_NETWORK_TIMED_OUT; this lookup may have sent one request) */
} SLPAgentOutcome;

typedef struct {
    const char* agent;       /* the "net.slp.DAAddresses" entry asked, as configured */
    SLPAgentOutcome outcome; /* what it did */
    SLPError error;          /* SLP_OK for FOUND and NONE, else what SLPFindSrvs makes of it */
    unsigned short daError;  /* the agent's own error code when it answered one, else 0 */
} SLPAgentReport;

/* Called once per agent asked, on the thread of the lookup, before SLPFindSrvs returns; the
 * report is valid during the call only. May run on many threads at once. An agent passed over
 * (see "esm.slp.DAHoldDown" in slp.h) is reported SLP_AGENT_SKIPPED at the end of the lookup,
 * unless the lookup asked it after all because no other agent answered: a lookup reports each
 * agent at most once. Agents after the one that answered are not reported. SLPReg and SLPDereg
 * report every listed agent, in list order. */
typedef void SLPAgentObserver(const SLPAgentReport* report, void* cookie);

/* Installs the process-wide observer (null removes it); later lookups report to it. */
void SLPSetAgentObserver(SLPAgentObserver* observer, void* cookie);

/* Installs an observer for the lookups and registrations on hSLP alone (null removes it), told
 * the same reports right after the process-wide observer, so that the owner of one call learns
 * what each agent did for it. Belongs to the handle's thread: SLP_HANDLE_IN_USE while a call
 * runs on it, SLP_PARAMETER_BAD for a handle that is not open. */
SLPError SLPSetHandleAgentObserver(SLPHandle hSLP, SLPAgentObserver* observer, void* cookie);

#ifdef __cplusplus
}
#endif
