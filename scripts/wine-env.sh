# Sourced by the Wine scripts: a quiet (unless WINEDEBUG says otherwise), private, 64-bit Wine
# without Mono/Gecko dialogs.
# Expects TOVREL_BUILD_DIR (the Windows build tree) to be set.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
export WINEPREFIX="${TOVREL_BUILD_DIR}/wineprefix"
# Loopback traffic must never go through a proxy.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"
