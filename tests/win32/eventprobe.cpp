// eventprobe MESSAGE_FILE EVENT_ID TEXT: the event log's message for the
// event ID, with TEXT as its one insertion string, formatted from the
// message file as the Event Viewer formats it; exit code 1 where it has
// none.
#include <cstdio>
#include <cwchar>

#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4)
        return 2;
    const HMODULE file = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(argv[3])};
    wchar_t text[512] = {};
    if (!file
        || !FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, file,
            DWORD(std::wcstoul(argv[2], nullptr, 10)), 0, text, 512,
            reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(inserts))))
        return 1;
    std::printf("%ls", text);
    return 0;
}
