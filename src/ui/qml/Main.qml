import QtQuick
import QtQuick.Window
import Quorvane
import Quorvane.State
import Quorvane.Types

// The one application window; its background follows the appearance and
// fills the whole window.
Window {
    id: window
    width: 1100
    height: 720
    minimumWidth: 900
    minimumHeight: 600
    visible: true
    title: "Quorvane"
    color: Theme.windowBackground

    ContentView {
        id: content
        anchors.fill: parent
    }

    // The usual keys of a desktop application.
    Shortcut {
        sequences: [StandardKey.Quit]
        context: Qt.ApplicationShortcut
        onActivated: Qt.quit()
    }
    Shortcut {
        // A new conversation, from wherever the main layout is.
        sequences: [StandardKey.New]
        enabled: (!Engines.usesLocalEngine || LlamaManager.isLlamaCPPVerified && !LlamaManager.isInstallingLlamaCPP)
                 && AppState.currentView !== Quorvane.Welcome
        onActivated: {
            AppState.setCurrentView(Quorvane.Chat)
            AppState.createNewChat()
        }
    }
}
