#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Quorvane
# need, skipping those already installed. Uses sudo when not run as root.
set -euo pipefail

packages=(
    # toolchain
    build-essential cmake git ccache pkg-config
    # the download benchmark compares against curl
    curl
    # fetching the llama.cpp sources of the tests through npm (the npm client
    # itself is installed by scripts/build-llama-completion.sh when missing)
    ca-certificates
    # Qt 6.4: Core, Gui, Qml, Quick, QuickControls2, Network, Test
    qt6-base-dev qt6-declarative-dev libgl-dev qt6-qpa-plugins
    qml6-module-qtqml qml6-module-qtqml-workerscript qml6-module-qtquick
    qml6-module-qtquick-controls qml6-module-qtquick-templates qml6-module-qtquick-layouts
    qml6-module-qtquick-window qml6-module-qtquick-dialogs qml6-module-qtquick-shapes
    # Qt's LinguistTools: lupdate gathers the texts to translate
    qt6-tools-dev qt6-l10n-tools
    # the file chooser drawn by Qt itself where the desktop offers none
    qml6-module-qt-labs-folderlistmodel
    # fast JSON reading of the conversation store
    libsimdjson-dev
    # fonts: text and the icon set
    fonts-dejavu-core fonts-material-design-icons-iconfont
    # attachment text: PDF, documents, binary strings
    libpoppler-cpp-dev poppler-utils pandoc antiword catdoc binutils
    # loopback HTTP server of the download and installation tests
    nginx-light
    # the remote server's API key in the desktop's secret store: Qt Keychain and
    # the Secret Service client it loads at run time
    qtkeychain-qt6-dev libsecret-1-0
    # a private secret store for the key tests, and the certificate of their
    # TLS server
    dbus-daemon gnome-keyring openssl
    # validators of the installed launcher entry and AppStream data
    appstream desktop-file-utils
    # the Debian package: its dependencies from the shared libraries
    # (dpkg-shlibdeps), its checker, and the font lookup of the package test
    dpkg-dev lintian fontconfig
)

missing=()
for p in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" != "installed" ]; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
