// The name prefix of the temporary file a restored file is put together in,
// next to its destination, until it is whole. Restorations make such files;
// backups never take one for the user's.
#pragma once

namespace kvn_agent_filesystem {

inline constexpr char kRestoreStagingPrefix[] = ".zlvrestore-";

}  // namespace kvn_agent_filesystem
