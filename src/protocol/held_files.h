#pragma once

// What a receiver holds of an offer's files before they come: a prefix
// waiting in the store, or a file that arrived whole from the same sender.
// The answer names them; the sender then proves it has the same bytes.

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "protocol/extensions.h"
#include "protocol/offer.h"
#include "storage/store.h"

namespace burrowlink {

// What is held of an offer's files, by index.
using HeldFiles = std::map<std::size_t, StoreEntry>;

// What is held of `offer`'s files, for a sender that resumes. Nothing is
// read but the store's records, so the answer never waits for a disk.
HeldFiles find_held_files(const Offer& offer, Store& store);
// The bytes the sender may be spared, at most.
std::uint64_t held_bytes(const HeldFiles& held);
// The answer's list: for each file held, the stretches the sender proves.
std::vector<ResumeAt> resume_list(const HeldFiles& held);

}  // namespace burrowlink
