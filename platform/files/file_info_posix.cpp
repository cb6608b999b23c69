#include "platform/files/file_info.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace quellis::files
{

bool QueryFileInfo(const std::filesystem::path& path, FileInfo& info)
{
    struct statx status = {};
    if (statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &status) != 0)
    {
        return false;
    }
    FileInfo result;
    const bool directory = S_ISDIR(status.stx_mode);
    if (directory)
    {
        result.attributes |= kFileAttributeDirectory;
    }
    else
    {
        result.size = status.stx_size;
        if ((status.stx_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        {
            result.attributes |= kFileAttributeReadOnly;
        }
    }
    // Windows gives a file with no other attribute this one instead of zero.
    if (result.attributes == 0)
    {
        result.attributes = kFileAttributeNormal;
    }
    // Not every file system records a birth time (tmpfs on older kernels, NFS);
    // the status change time is the nearest stand-in.
    result.creationTime = (status.stx_mask & STATX_BTIME) != 0 ? status.stx_btime.tv_sec : status.stx_ctime.tv_sec;
    result.lastAccessTime = status.stx_atime.tv_sec;
    result.lastWriteTime = status.stx_mtime.tv_sec;
    info = result;
    return true;
}

} // namespace quellis::files
