// The key index while a persist or a vacuum reads it from another thread.
//
// Persist and vacuum work from the state the store had when they started:
// persist writes that state's snapshot, vacuum copies its survivors and
// renumbers its key index. Copying the key index (24 bytes an entry, the
// largest structure in memory) would take too long to do while reads and
// writes wait, and double the memory; so the index itself is frozen
// instead, and the changes made meanwhile are kept beside it:
//
//   frozen      the index is read, without the Store lock, by the
//               maintenance thread. Puts and deletes go to an overlay (a
//               small KeyIndex: hash -> the new id and location, or a
//               tombstone), which reads consult first. A read that falls
//               through to the index gets a copy of its entry, so that the
//               location it stores there changes nothing the other thread
//               reads. Vacuum also keeps a journal of the ids retired.
//   renumbering vacuum has switched to the compacted files: the index's
//               entries take their new ids in place, in index order, a
//               batch at a time under the Store lock (RenumberStep); an
//               entry not reached yet is translated when it is read. The
//               overlay's entries, written before the switch, were
//               translated at the switch.
//   merging     the maintenance is over: the overlay's entries move into
//               the index a batch at a time (MergeStep). Puts and deletes
//               go to the index itself and mark the overlay's entry of
//               their key as merged, so that it no longer hides theirs.
//   idle        no overlay; every call goes straight to the index.
//
// The index's layout (which entry lies in which slot) does not change from
// the freeze to the end of renumbering: nothing inserts into it or erases
// from it, and it never grows. Renumbering by position relies on this.
//
// Every method but FrozenIndex::IdOf requires the Store lock exclusively;
// IdOf requires it shared. None calls into anything but the two indexes.
#ifndef VANTRE_ENGINE_FROZEN_INDEX_H_
#define VANTRE_ENGINE_FROZEN_INDEX_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/state/key_index.h"

namespace vantre {

// The new ids a vacuum gives the entries of the frozen index.
class Renumbering {
 public:
  virtual ~Renumbering() = default;
  // The new id of `old_id`. REQUIRES: the frozen index names `old_id`.
  virtual uint32_t NewId(uint32_t old_id) const = 0;
  // The new id of each entry of the frozen index, in the index's order.
  virtual std::span<const uint32_t> ids_in_index_order() const = 0;
};

// The ids a vacuum's store retired since a point, in order, in chunks of a
// fixed size: growing it never moves what it holds. A vector's doubling
// copied millions of ids in one put, under the Store lock (up to 30 ms
// beside a vacuum at 10 million keys).
class RetiredJournal {
 public:
  // Room for one more id. Throws std::bad_alloc, changing nothing.
  void Reserve() {
    if (chunks_.empty() || chunks_.back().size() == chunks_.back().capacity()) {
      std::vector<uint32_t> chunk;
      chunk.reserve(kChunk);
      chunks_.push_back(std::move(chunk));
    }
  }
  // REQUIRES: Reserve() since the last Add().
  void Add(uint32_t id) { chunks_.back().push_back(id); }
  bool empty() const { return chunks_.empty() || chunks_.front().empty(); }
  size_t size() const {
    size_t n = 0;
    for (const std::vector<uint32_t>& chunk : chunks_) n += chunk.size();
    return n;
  }
  // Calls f(id) for each id, in order.
  template <typename F>
  void ForEach(F&& f) const {
    for (const std::vector<uint32_t>& chunk : chunks_) {
      for (uint32_t id : chunk) f(id);
    }
  }

 private:
  static constexpr size_t kChunk = 16384;
  std::vector<std::vector<uint32_t>> chunks_;
};

class FrozenIndex {
 public:
  enum class Phase { kIdle, kFrozen, kRenumbering, kMerging };

  FrozenIndex() = default;
  FrozenIndex(FrozenIndex&&) = default;
  FrozenIndex& operator=(FrozenIndex&&) = default;

  Phase phase() const { return phase_; }
  bool idle() const { return phase_ == Phase::kIdle; }
  // Whether `index` must be left as it is for another thread: frozen, or
  // renumbering by position.
  bool holds_layout() const { return phase_ == Phase::kFrozen || phase_ == Phase::kRenumbering; }

  // Freezes the index; with `journal`, every id retired from now on is
  // journaled until the switch. The overlay starts from `overlay`: an empty
  // index whose table the caller may have sized for the writes to come.
  // REQUIRES: idle(), overlay.empty().
  void Freeze(bool journal, KeyIndex overlay = KeyIndex());

  // The entry of `hash` as the store stands, or nullptr: an entry of the
  // overlay, or of `index` (in place, or a copy of it while frozen or not
  // yet renumbered). Its id and location may be changed through it; a copy
  // keeps no change. Valid until the next call.
  const KeyIndex::Entry* Find(const KeyIndex& index, uint64_t hash);
  // The current id of `hash`, or nothing; changes nothing.
  std::optional<uint32_t> IdOf(const KeyIndex& index, uint64_t hash) const;
  // Makes room for one more Put or Erase (and its journal entry), so that
  // neither can fail. Throws std::bad_alloc.
  void Reserve(KeyIndex& index);
  // Whether Reserve would rebuild a table (the overlay's, or `index`'s
  // when not frozen) that has at least `min_slots` slots.
  bool ReserveRebuilds(const KeyIndex& index, size_t min_slots) const {
    return (holds_layout() ? overlay_ : index).ReserveRebuilds(min_slots);
  }
  // Sets hash -> id located at `r`; returns the id it replaces, if any.
  // REQUIRES: Reserve() since the last change.
  std::optional<uint32_t> Put(KeyIndex& index, uint64_t hash, uint32_t id, const Record& r);
  // Removes `hash`; returns its id, if it was stored. REQUIRES: Reserve()
  // since the last change.
  std::optional<uint32_t> Erase(KeyIndex& index, uint64_t hash);
  // Notes that `id` left the live set. REQUIRES: Reserve() since the last
  // change.
  void Retired(uint32_t id) {
    if (journal_on_) journal_.Add(id);
  }
  // The ids retired since the freeze or the last call, in order.
  RetiredJournal TakeJournal() { return std::exchange(journal_, {}); }

  // Vacuum's switch: the frozen entries take the new ids `renumbering`
  // gives them, a batch at a time; the overlay's entries (written since the
  // freeze, with ids from `carried_from` on) become carried_to + (id -
  // carried_from) now, their locations forgotten. Journaling ends.
  // REQUIRES: frozen. Cannot fail.
  void StartRenumbering(const KeyIndex& index, std::unique_ptr<const Renumbering> renumbering,
                        uint32_t carried_from, uint32_t carried_to) noexcept;
  // Renumbers up to `max_entries` entries of `index`; true once every
  // entry is renumbered (the phase is then merging). The renumbering, no
  // longer needed then, is handed to `*finished` when given, for the
  // caller to free after the Store lock (tens of megabytes at 10 million
  // keys). Cannot fail.
  bool RenumberStep(const KeyIndex& index, size_t max_entries,
                    std::unique_ptr<const Renumbering>* finished = nullptr) noexcept;
  // Ends the freeze of a maintenance that does not renumber (persist, or a
  // vacuum that did not switch): the overlay is merged from now on.
  // REQUIRES: frozen.
  void EndFreeze();
  // Moves up to `max_entries` entries of the overlay into `index`; true
  // once all are there (the phase is then idle), the spent overlay then
  // moved to `*merged` when given (to be freed after the caller's lock).
  // Throws std::bad_alloc (when the index cannot grow), leaving the rest to
  // merge later.
  bool MergeStep(KeyIndex& index, size_t max_entries, KeyIndex* merged = nullptr);

  // Entries in the overlay.
  size_t overlay_size() const { return overlay_.size(); }

 private:
  bool Swept(const KeyIndex::Entry* e) const;
  // The current id of an entry of the index.
  uint32_t CurrentId(const KeyIndex::Entry& e) const;
  // The overlay's live entry of `hash` (tombstones included), or nullptr.
  const KeyIndex::Entry* OverlayEntry(uint64_t hash) const;

  Phase phase_ = Phase::kIdle;
  KeyIndex overlay_;
  KeyIndex::Entry copy_{};  // Find's copy of an entry of the index
  bool journal_on_ = false;
  RetiredJournal journal_;
  // Renumbering: the new ids, and the next entry of the index to renumber.
  std::unique_ptr<const Renumbering> renumbering_;
  KeyIndex::Iterator sweep_;
  size_t swept_ = 0;
  // Merging: the next entry of the overlay to merge.
  KeyIndex::Iterator merge_;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_FROZEN_INDEX_H_
