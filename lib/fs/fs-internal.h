// Private to the file-op sources and their tests: an observation point in
// the removal walk, so that tests can change the tree at a chosen moment of
// a removal (a directory moved away, entries added behind the read cursor).
//
// Thread-safety: none; set it only while no removal runs.
#pragma once

namespace fileop_internal {

// When not null, FSRemove's walk of a directory calls it after each entry it
// removed (a directory after its rmdir, the given directory itself last),
// with the descriptor of the directory that held the entry and the entry's
// name. Null outside tests.
extern void (*g_after_remove_hook)(int parent_fd, const char* name);

}  // namespace fileop_internal
