#include "config/filestamp.h"
#include "config/text_win32.h"

#include <windows.h>

namespace drawerdriver {

FileStamp fileStampOf(const std::string &path)
{
    FileStamp stamp;
    stamp.path = path;
    // Opened for its attributes alone and shared with everyone: an editor
    // replacing the file meanwhile is never refused.
    const HANDLE file = CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return stamp;
    BY_HANDLE_FILE_INFORMATION info {};
    FILE_BASIC_INFO times {};
    if (GetFileInformationByHandle(file, &info)) {
        stamp.exists = true;
        stamp.device = info.dwVolumeSerialNumber;
        stamp.file = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        stamp.written = (std::int64_t(info.ftLastWriteTime.dwHighDateTime) << 32)
            | info.ftLastWriteTime.dwLowDateTime;
        stamp.size = (std::int64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        if (GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times))
            stamp.changed = times.ChangeTime.QuadPart;
    }
    CloseHandle(file);
    return stamp;
}

} // namespace drawerdriver
