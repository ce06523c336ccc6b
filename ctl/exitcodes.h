// kestrin-drawer-ctl's exit codes and what each means: --help prints this
// table, and the manual page's EXIT STATUS lists the same codes, each
// starting with the same words (a test compares them).
#pragma once

namespace drawerctl {

enum Exit {
    Done = 0,
    NotPresentOrBusy = 1,
    Usage = 2,
    AccessDenied = 3,
    NoService = 4,
    NotConfigured = 5,
    // The service cannot read its history or record a kick (the drawer was
    // not fired), or the report's page cannot be written.
    CannotWrite = 6,
    TokenFailed = 7,
};

struct ExitMeaning {
    Exit code;
    const char *meaning;
};

inline constexpr ExitMeaning ExitCodes[] = {
    {Done, "Done"},
    {NotPresentOrBusy, "The drawer is not present or busy"},
    {Usage, "Wrong usage"},
    {AccessDenied, "Access denied"},
    {NoService, "The drawer service is not running and cannot be started"},
    {NotConfigured, "The drawer is not configured"},
    {CannotWrite,
        "The history cannot be read, or record a kick (nothing fired), or the report's page "
        "cannot be written"},
    {TokenFailed, "The token command failed"},
};

} // namespace drawerctl
