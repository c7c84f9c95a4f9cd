import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State
import Quorvane.Types

// The right-hand column: a top bar with the sidebar, appearance and
// settings buttons, and below it the chat, models or settings screen.
Rectangle {
    id: area

    // Mirrors the window's sidebar state; the sidebar button asks the
    // window to flip it.
    property bool isSidebarVisible: true
    readonly property bool isSettingsButtonHovered: settingsButton.hovered
    readonly property bool isHideSidebarButtonHovered: sidebarButton.hovered
    signal sidebarToggleRequested()

    color: Theme.windowBackground

    // An icon button of the top bar: a 20 by 20 icon frame padded 12 by 10,
    // blue while hovered or active, slightly larger while hovered.
    component BarButton: AbstractButton {
        id: button
        property string iconName
        property real iconSize: 16
        property int iconWeight: Font.Normal
        property bool isActive: false

        hoverEnabled: true
        leftPadding: 12
        rightPadding: 12
        topPadding: 10
        bottomPadding: 10
        focusPolicy: Qt.TabFocus
        Accessible.role: Accessible.Button
        Accessible.name: text
        // A tooltip of its own rather than the shared one: the label may change
        // while the pointer rests on the button, and the shared tooltip would
        // keep showing the old text.
        ToolTip {
            text: button.text
            visible: button.hovered
            delay: 600
        }

        contentItem: Item {
            implicitWidth: 20
            implicitHeight: 20
            Icon {
                anchors.centerIn: parent
                name: button.iconName
                size: button.iconSize
                font.weight: button.iconWeight
                color: button.hovered || button.isActive ? Theme.blue : Theme.gray
                scale: button.hovered ? 1.05 : 1.0
                Behavior on color { ColorAnimation { duration: 150; easing.type: Easing.InOutQuad } }
                Behavior on scale { NumberAnimation { duration: 150; easing.type: Easing.InOutQuad } }
            }
        }
        background: null
    }

    Item {
        id: topBar
        objectName: "topBar"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        height: Theme.barHeight

        BarButton {
            id: sidebarButton
            objectName: "sidebarButton"
            anchors.left: parent.left
            anchors.verticalCenter: parent.verticalCenter
            iconName: "sidebar.left"
            iconSize: 16
            iconWeight: Font.DemiBold
            text: area.isSidebarVisible ? qsTr("Hide sidebar") : qsTr("Show sidebar")
            onClicked: area.sidebarToggleRequested()
        }

        ThemeToggleButton {
            objectName: "themeToggleButton"
            anchors.right: settingsButton.left
            anchors.verticalCenter: parent.verticalCenter
            showBorder: false
        }

        BarButton {
            id: settingsButton
            objectName: "settingsButton"
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            iconName: "gearshape"
            iconSize: 15
            iconWeight: Font.Medium
            isActive: AppState.currentView === Quorvane.Settings
            text: qsTr("Settings")
            onClicked: AppState.setCurrentView(AppState.currentView === Quorvane.Settings ? Quorvane.Chat
                                                                                           : Quorvane.Settings)
        }
    }

    Loader {
        id: pageLoader
        objectName: "page"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: topBar.bottom
        anchors.bottom: parent.bottom
        sourceComponent: {
            switch (AppState.currentView) {
            case Quorvane.Chat: return chatPage
            case Quorvane.Models: return modelsPage
            case Quorvane.Settings: return settingsPage
            }
            return null
        }
    }

    Component {
        id: chatPage
        ChatView { objectName: "chatView" }
    }

    Component {
        id: modelsPage
        ModelsView { objectName: "modelsView" }
    }

    Component {
        id: settingsPage
        SettingsView { objectName: "settingsView" }
    }
}
