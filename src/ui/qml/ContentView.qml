import QtQuick
import QtQuick.Window
import Quorvane
import Quorvane.State
import Quorvane.Types

// Chooses the one screen that fills the window: installation, setup,
// welcome, or the sidebar beside the main content area.
Item {
    id: root

    // Whether the conversation sidebar shows; lives as long as the window.
    property bool isSidebarVisible: true

    // A server elsewhere needs no llama.cpp here: no installation or setup
    // screen stands in its way.
    readonly property int screen: {
        if (Engines.usesLocalEngine && LlamaManager.isInstallingLlamaCPP)
            return 0
        if (Engines.usesLocalEngine && !LlamaManager.isLlamaCPPVerified)
            return 1
        if (AppState.currentView === Quorvane.Welcome)
            return 2
        return 3
    }

    Loader {
        id: screenLoader
        anchors.fill: parent
        sourceComponent: [installingScreen, setupScreen, welcomeScreen, mainLayout][root.screen]
    }

    Component {
        id: installingScreen
        LlamaCPPInstallationView {
            objectName: "screen"
            readonly property string title: "Installing llama.cpp"
        }
    }

    Component {
        id: setupScreen
        LlamaCPPSetupRequiredView {
            objectName: "screen"
            readonly property string title: "Setup required"
        }
    }

    Component {
        id: welcomeScreen
        WelcomeView {
            objectName: "screen"
            readonly property string title: "Welcome"
        }
    }

    Component {
        id: mainLayout
        Rectangle {
            objectName: "screen"
            // Names the screen shown in the content area.
            readonly property string title: {
                switch (AppState.currentView) {
                case Quorvane.Chat: return "Chat"
                case Quorvane.Models: return "Models"
                case Quorvane.Settings: return "Settings"
                }
                return ""
            }
            color: Theme.windowBackground
            clip: true

            // The sidebar's own surface and the line between it and the content.
            Rectangle {
                objectName: "sidebarBackground"
                x: sidebar.x
                width: sidebar.width
                height: parent.height
                visible: sidebar.visible
                color: Theme.sidebarBackground
            }
            Rectangle {
                objectName: "sidebarDivider"
                z: 1
                x: sidebar.x + sidebar.width - 1
                width: 1
                height: parent.height
                visible: sidebar.visible
                color: Theme.divider
            }

            ChatHistorySidebar {
                id: sidebar
                objectName: "sidebar"
                exchange: conversationExchange
                width: 280
                height: parent.height
                // Slides in from the leading edge and out again.
                x: root.isSidebarVisible ? 0 : -width
                visible: x > -width
                Behavior on x {
                    NumberAnimation { duration: 200; easing.type: Easing.InOutQuad }
                }
            }

            MainContentArea {
                objectName: "mainContentArea"
                anchors.left: sidebar.right
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.bottom: parent.bottom
                isSidebarVisible: root.isSidebarVisible
                onSidebarToggleRequested: root.isSidebarVisible = !root.isSidebarVisible
            }

            Shortcut {
                // Ctrl+F searches the conversations, showing the sidebar if hidden.
                sequences: [StandardKey.Find]
                onActivated: {
                    root.isSidebarVisible = true
                    sidebar.focusSearch()
                }
            }
        }
    }

    // Shows where the keyboard is, on every screen and in every popup.
    FocusRing {
        focusItem: root.Window.activeFocusItem
    }

    ConversationExchange {
        id: conversationExchange
        objectName: "conversationExchange"
    }
    Shortcut {
        // Exports the current conversation, as a desktop application's File menu would.
        sequences: ["Ctrl+E"]
        enabled: AppState.currentSessionKey.length > 0 && AppState.currentView !== Quorvane.Welcome
        onActivated: conversationExchange.exportConversation(AppState.currentSessionKey)
    }
}
