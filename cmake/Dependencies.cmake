# Every system library the program uses; the setup script installs their Debian packages.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET
    libavformat libavcodec libavutil libavdevice libswscale libswresample)
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
pkg_check_modules(MHD REQUIRED IMPORTED_TARGET libmicrohttpd)
pkg_check_modules(FONTS REQUIRED IMPORTED_TARGET freetype2 fontconfig)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 xrandr)
pkg_check_modules(GL REQUIRED IMPORTED_TARGET gl)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(FFNVCODEC IMPORTED_TARGET ffnvcodec)
