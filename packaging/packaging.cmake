# What an install lays down. scripts/package.sh makes the two Debian
# packages from its two components:
#
#   kestrin-drawer            component "program": the program, the Linux
#                             drawer library in its private folder, the
#                             drawer service, kestrin-drawer-ctl and the
#                             web bridge with their systemd, D-Bus,
#                             sysusers and udev files, kestrin-drawer-notify
#                             and its autostart entry, the drawer configuration, the udev
#                             rule samples, the manual pages and the
#                             desktop entry.
#   kestrin-drawer-simulator  component "simulator": a copy of the program
#                             beside the simulated library, the launcher
#                             that starts it, kestrin-drawer-sim and their
#                             desktop entry.
#
# `cmake --install` lays down the program's part. Rules marked
# EXCLUDE_FROM_ALL are only installed by component: all of the simulator
# (`cmake --install <build> --component simulator`), and the configuration
# file in /etc, which only the package installs, as a conffile that dpkg
# keeps through upgrades, since a plain install would overwrite a user's
# edits.

include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(kestrin_library_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# Not CMAKE_INSTALL_LIBDIR: the program looks for its library in
# <its folder>/../lib/kestrin-drawer, wherever the loader's own folders are.
set(kestrin_private_dir lib/kestrin-drawer)
set(kestrin_simulator_dir lib/kestrin-drawer-simulator)
set(kestrin_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kestrin-drawer)
set(kestrin_simulator_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kestrin-drawer-simulator)
set(kestrin_generated ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${kestrin_generated})

# Manual pages and long documents go in compressed, as Debian has them.
set(kestrin_compressed)
function(kestrin_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND gzip -9n -c ${source} > ${output}
        DEPENDS ${source} VERBATIM)
    set(kestrin_compressed ${kestrin_compressed} ${output} PARENT_SCOPE)
endfunction()

function(kestrin_man page component)
    get_filename_component(name ${page} NAME)
    string(REGEX MATCH "[0-9]$" section ${name})
    kestrin_gzip(${PROJECT_SOURCE_DIR}/${page} ${kestrin_generated}/${name}.gz)
    set(kestrin_compressed ${kestrin_compressed} PARENT_SCOPE)
    set(exclude)
    if(component STREQUAL "simulator")
        set(exclude EXCLUDE_FROM_ALL)
    endif()
    install(FILES ${kestrin_generated}/${name}.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component} ${exclude})
endfunction()

# --- kestrin-drawer --------------------------------------------------------

install(TARGETS kestrin-drawer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
if(TARGET drawer_driver)
    install(TARGETS drawer_driver LIBRARY DESTINATION ${kestrin_private_dir}
            PERMISSIONS ${kestrin_library_permissions} COMPONENT program)
endif()
# The drawer set-up tool and its manual page, once they are part of the build.
if(TARGET kestrin-drawer-setup)
    install(TARGETS kestrin-drawer-setup RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT program)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/man/kestrin-drawer-setup.1)
    kestrin_man(docs/man/kestrin-drawer-setup.1 program)
endif()
kestrin_man(docs/man/kestrin-drawer.1 program)

# The drawer service, started by D-Bus activation through systemd, and its
# command-line client. Debian 12 keeps units and udev rules in /lib.
if(TARGET kestrin-drawerd)
    install(TARGETS kestrin-drawerd RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}
            COMPONENT program)
    install(TARGETS kestrin-drawer-ctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT program)
    kestrin_man(docs/man/kestrin-drawer-ctl.1 program)
    kestrin_man(docs/man/kestrin-drawerd.8 program)
    set(kestrin_service_files ${PROJECT_SOURCE_DIR}/packaging/service)
    install(FILES ${kestrin_service_files}/kestrin-drawerd.service
            DESTINATION /lib/systemd/system COMPONENT program EXCLUDE_FROM_ALL)
    install(FILES ${kestrin_service_files}/70-kestrin-drawerd.rules
            DESTINATION /lib/udev/rules.d COMPONENT program EXCLUDE_FROM_ALL)
    install(FILES ${kestrin_service_files}/kestrin-drawer.sysusers
            DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d RENAME kestrin-drawer.conf
            COMPONENT program)
    install(FILES ${kestrin_service_files}/org.kestrin.Drawers1.conf
            DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system.d COMPONENT program)
    install(FILES ${kestrin_service_files}/org.kestrin.Drawers1.service
            DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system-services COMPONENT program)
    # The bus API, documented, for bus tools and code generators.
    install(FILES busapi/org.kestrin.Drawers1.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/interfaces COMPONENT program)
    # The left-open alarms' agent, started with every desktop session.
    install(TARGETS kestrin-drawer-notify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT program)
    kestrin_man(docs/man/kestrin-drawer-notify.1 program)
    install(FILES resources/kestrin-drawer-notify.desktop DESTINATION /etc/xdg/autostart
            COMPONENT program EXCLUDE_FROM_ALL)
endif()
# The web bridge: the drawers for web apps, as a unit the shop enables.
if(TARGET kestrin-drawer-web)
    install(TARGETS kestrin-drawer-web RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}
            COMPONENT program)
    kestrin_man(docs/man/kestrin-drawer-web.8 program)
    install(FILES packaging/web/kestrin-drawer-web.service
            DESTINATION /lib/systemd/system COMPONENT program EXCLUDE_FROM_ALL)
    install(FILES packaging/web/kestrin-drawer-web.sysusers
            DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d RENAME kestrin-drawer-web.conf
            COMPONENT program)
endif()
kestrin_man(docs/man/drawers.conf.5 program)

install(FILES resources/kestrin-drawer.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT program)
foreach(size 16 32)
    install(FILES resources/icons/kestrin-drawer-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME kestrin-drawer.png COMPONENT program)
endforeach()
install(FILES resources/kestrin-drawer.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT program)

install(FILES packaging/examples/drawers.conf.sample DESTINATION /etc/kestrin-drawer
        RENAME drawers.conf COMPONENT program EXCLUDE_FROM_ALL)
file(GLOB kestrin_udev_samples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/examples/*.rules.sample)
install(FILES ${kestrin_udev_samples} DESTINATION ${kestrin_doc_dir}/examples COMPONENT program)
# Prometheus loads its rule files as they are: this one stays uncompressed.
install(FILES packaging/examples/kestrin-drawer.rules.yml
        DESTINATION ${kestrin_doc_dir}/examples COMPONENT program)
kestrin_gzip(${PROJECT_SOURCE_DIR}/README.md ${kestrin_generated}/README.md.gz)
kestrin_gzip(${CMAKE_CURRENT_LIST_DIR}/changelog ${kestrin_generated}/changelog.gz)
install(FILES ${kestrin_generated}/README.md.gz ${kestrin_generated}/changelog.gz
              ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${kestrin_doc_dir} COMPONENT program)

# --- kestrin-drawer-simulator ----------------------------------------------

# The program looks in its own folder first, so a copy of it beside the
# simulated library runs on the simulated drawers whatever else is
# installed. The launcher is a link to that copy: the program finds its
# folder from where its file really is, not from the link.
install(TARGETS kestrin-drawer RUNTIME DESTINATION ${kestrin_simulator_dir}
        COMPONENT simulator EXCLUDE_FROM_ALL)
install(TARGETS KestrinPOS_USB LIBRARY DESTINATION ${kestrin_simulator_dir}
        PERMISSIONS ${kestrin_library_permissions} COMPONENT simulator EXCLUDE_FROM_ALL)
install(TARGETS kestrin-drawer-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT simulator EXCLUDE_FROM_ALL)
file(CREATE_LINK ../${kestrin_simulator_dir}/kestrin-drawer
     ${kestrin_generated}/kestrin-drawer-simulator SYMBOLIC)
install(FILES ${kestrin_generated}/kestrin-drawer-simulator
        DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator EXCLUDE_FROM_ALL)
# The launcher is the program: its manual page is the program's.
file(CREATE_LINK kestrin-drawer.1.gz ${kestrin_generated}/kestrin-drawer-simulator.1.gz SYMBOLIC)
install(FILES ${kestrin_generated}/kestrin-drawer-simulator.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT simulator EXCLUDE_FROM_ALL)
kestrin_man(docs/man/kestrin-drawer-sim.1 simulator)
install(FILES resources/kestrin-drawer-simulator.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT simulator EXCLUDE_FROM_ALL)
install(FILES ${kestrin_generated}/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${kestrin_simulator_doc_dir} COMPONENT simulator EXCLUDE_FROM_ALL)

add_custom_target(kestrin_docs ALL DEPENDS ${kestrin_compressed})
