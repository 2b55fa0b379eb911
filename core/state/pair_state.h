// The common state of a pair of roots: loaded with a verdict on whether it can be trusted,
// saved in both roots so that both hold the new generation or both the old one, and
// forgotten when an undo changed a root behind its back.
//
// The pair: each root's state folder holds one file per pair the root belongs to (a stick
// synced with two machines' folders holds two). The pair of two roots is the one whose file
// in each root names the other root as its peer; so two folders each synced with the same
// stick keep apart, and a stick brought from another machine meets no pair of this one.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "core/fs/file_system.h"
#include "core/state/state_file.h"

namespace tavrik {

// The texts the front ends show for a state that is not trusted: the first is the line
// itself (the console prints it, the window adds it to the summary box), the second the
// reason, which follows it.
inline constexpr const char* kNoCommonStateLine =
    "Für diese Ordner gibt es noch keinen gemeinsamen Stand; es wird nichts gelöscht.";
inline constexpr const char* kWhyFirstRun =
    "Die beiden Ordner wurden noch nie in beide Richtungen abgeglichen.";
inline constexpr const char* kWhyLostLeft = "Der Stand des ersten Ordners fehlt.";
inline constexpr const char* kWhyLostRight = "Der Stand des zweiten Ordners fehlt.";
inline constexpr const char* kWhyGeneration =
    "Die Stände der beiden Ordner stammen aus verschiedenen Abgleichen.";
inline constexpr const char* kWhyIdentityLeft =
    "Der erste Ordner ist nicht mehr derselbe (kopiert, wiederhergestellt oder neu angelegt).";
inline constexpr const char* kWhyIdentityRight =
    "Der zweite Ordner ist nicht mehr derselbe (kopiert, wiederhergestellt oder neu angelegt).";
inline constexpr const char* kWhyUnreadable =
    "Die Stand-Datei '%s' ist nicht lesbar; sie bleibt, wie sie ist.";
inline constexpr const char* kWhyNewer =
    "Die Stand-Datei '%s' stammt von einer neueren Programmversion; sie bleibt, wie sie ist.";
inline constexpr const char* kWhyForgotten =
    "Ein Widerruf hat einen der Ordner verändert; der Stand gilt nicht mehr.";
inline constexpr const char* kWhyNoIdentity = "Die Ordner lassen sich nicht sicher erkennen.";

enum class Trust {
  kTrusted,
  kFirstRun,       // no file of this pair in either root
  kLostLeft,       // only the right root holds the pair's file
  kLostRight,      // only the left root holds it
  kGeneration,     // both hold it, from different saves
  kIdentityLeft,   // the left root is not the folder the state was saved in
  kIdentityRight,  // the same of the right root
  kUnreadable,     // a file of the pair (or one that may be) cannot be read; left as it is
  kNewer,          // a file of the pair has a newer format; left as it is
  kForgotten,      // an undo made it untrusted
  kNoIdentity,     // a root's identity cannot be told
};

struct TrustVerdict {
  Trust trust = Trust::kFirstRun;
  // The German reason (one line, after kNoCommonStateLine); empty when trusted.
  std::string reason;
  bool trusted() const { return trust == Trust::kTrusted; }
};

// Both sides' states of one pair, and what the save needs to know of the roots.
struct PairState {
  std::string pair_id;     // empty: the pair has no state yet; the save makes one
  std::string generation;  // the generation both files hold (when trusted)
  RootIdentity left_identity;
  RootIdentity right_identity;
  bool left_stable_inodes = false;
  bool right_stable_inodes = false;
  SideState left;
  SideState right;
};

// Finds the pair of the two roots and loads both sides' states into *state (identities
// always, entries only when trusted), with the verdict. Writes nothing: an unreadable or
// newer file stays as it is. state->pair_id names the pair the next save writes: the found
// pair's, or empty (a new pair) where none was found, a file of it cannot be read, or a root
// is not the folder it was saved with (so a copy never overwrites the true pair's files).
// Each root is read through its own file system. A cancel flag set meanwhile ends the load
// early with a verdict that is not to be used; between (where given) is called after the left
// file was read and before the right one.
TrustVerdict LoadPairState(FileSystem& left_fs, const std::string& left_root, FileSystem& right_fs,
                           const std::string& right_root, PairState* state,
                           const std::atomic<bool>* cancel = nullptr,
                           const std::function<void()>& between = {});

// Saves state in both roots under a new generation (and a new pair id when it has none):
// each file is written under a temporary name and flushed, then both take their places, the
// previous generation kept as "<pair id>.prev" for diagnosis. When either step fails in
// either root, both roots are left at the old generation (or without a state) and false is
// returned with the German reason in *error. The entries must be sorted (StateEntries::Sort).
bool SavePairState(FileSystem& left_fs, const std::string& left_root, FileSystem& right_fs,
                   const std::string& right_root, PairState& state, std::string* error);

// Makes every pair state kept under root untrusted (after an undo changed the root): each
// file is renamed to "<pair id>.forgotten", so the next load says why the state is gone; the
// next save of the pair removes it. Returns the number forgotten, or -1 with errno set
// when the folder could not be read.
int ForgetPairStates(FileSystem& fs, const std::string& root);

// 32 random hex digits, for pair and generation ids.
std::string NewStateId();

// "<root>.tavrik-state/<pair id>" for a root ending in its separator.
std::string StateFilePath(const std::string& root, const std::string& pair_id);

}  // namespace tavrik
