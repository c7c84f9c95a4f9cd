import QtQuick
import Quorvane.State
import Quorvane.Types

// Chooses the one screen that fills the window.
Item {
    id: root
    property bool isLight: false

    readonly property string screenName: {
        if (LlamaManager.isInstallingLlamaCPP)
            return "Installing llama.cpp"
        if (!LlamaManager.isLlamaCPPVerified)
            return "Setup required"
        switch (AppState.currentView) {
        case Quorvane.Welcome: return "Welcome"
        case Quorvane.Chat: return "Chat"
        case Quorvane.Models: return "Models"
        case Quorvane.Settings: return "Settings"
        }
        return ""
    }

    PlaceholderView {
        objectName: "screen"
        anchors.fill: parent
        title: root.screenName
        isLight: root.isLight
    }
}
