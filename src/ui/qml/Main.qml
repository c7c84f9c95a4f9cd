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

    // Every stock control and popup of the window takes these colours, so
    // that they follow the appearance as the screens do.
    palette {
        window: Theme.raised
        windowText: Theme.primary
        base: Theme.raised
        alternateBase: Theme.controlFill
        text: Theme.primary
        button: Theme.controlFill
        buttonText: Theme.primary
        brightText: "white"
        toolTipBase: Theme.raised
        toolTipText: Theme.primary
        placeholderText: Theme.secondary
        highlight: Theme.selection
        highlightedText: "white"
        light: Theme.controlFill
        midlight: Theme.controlFillPressed
        mid: Theme.controlEdge
        dark: Theme.controlStrong
        shadow: "black"
        link: Theme.blue
        linkVisited: Theme.blue
    }

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
