#pragma once
// Self-relative security descriptors built from well-known accounts, for the
// objects the service creates (online marker, depot folder, registry key).
#include <windows.h>
#include <vector>

struct SsrAce {
    WELL_KNOWN_SID_TYPE account;
    ACCESS_MASK access;
    BYTE flags;  // inheritance flags of the entry
};

// Owner and an access-allowed entry per item, in the given order.
std::vector<BYTE> build_self_relative_sd(WELL_KNOWN_SID_TYPE owner, const std::vector<SsrAce>& aces);
