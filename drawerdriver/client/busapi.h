// The drawer service's names on the system bus, for the service and its
// clients: the library in client mode and kestrin-drawer-ctl.
#pragma once

namespace drawerdriver::bus {

inline constexpr char ServiceName[] = "org.kestrin.Drawers1";
inline constexpr char ManagerPath[] = "/org/kestrin/Drawers1";
inline constexpr char ManagerInterface[] = "org.kestrin.Drawers1.Manager";
inline constexpr char DrawerInterface[] = "org.kestrin.Drawers1.Drawer";
inline constexpr char PropertiesInterface[] = "org.freedesktop.DBus.Properties";
inline constexpr char ObjectManagerInterface[] = "org.freedesktop.DBus.ObjectManager";

inline constexpr char NotConfiguredError[] = "org.kestrin.Drawers1.Error.NotConfigured";
inline constexpr char NotPresentError[] = "org.kestrin.Drawers1.Error.NotPresent";
inline constexpr char BusyError[] = "org.kestrin.Drawers1.Error.Busy";

// The group whose members, with root, may open drawers and reload.
inline constexpr char DrawerGroup[] = "kestrin-drawer";
// The longest reason an Open call keeps, in characters.
inline constexpr int ReasonLimit = 200;

} // namespace drawerdriver::bus
