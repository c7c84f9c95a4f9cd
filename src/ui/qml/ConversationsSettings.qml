import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State

// The settings section for all conversations at once: export every one of
// them into a folder, or import JSON exports.
Column {
    id: section
    spacing: 12

    component ExchangeButton: AbstractButton {
        id: button
        property string iconName
        readonly property color tint: hovered ? Theme.blue : Theme.primaryAt(0.75)
        hoverEnabled: true
        leftPadding: 20
        rightPadding: 20
        topPadding: 10
        bottomPadding: 10
        focusPolicy: Qt.TabFocus
        Accessible.role: Accessible.Button
        Accessible.name: text
        contentItem: Row {
            spacing: 6
            Icon {
                anchors.verticalCenter: parent.verticalCenter
                name: button.iconName
                size: 13
                color: button.tint
            }
            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: button.text
                font.pixelSize: 13
                color: button.tint
            }
        }
        background: Rectangle {
            radius: 8
            color: button.hovered ? Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.12) : Theme.primaryAt(0.04)
        }
    }

    Text {
        topPadding: 14
        text: qsTr("Conversations")
        font.pixelSize: 11
        font.bold: true
        font.letterSpacing: 1.4
        color: Theme.primaryAt(0.4)
    }
    Row {
        spacing: 10
        ExchangeButton {
            text: qsTr("Export All\u2026")
            iconName: "square.and.arrow.up"
            enabled: AppState.chatSessionCount > 0
            onClicked: exchange.exportAll()
        }
        ExchangeButton {
            text: qsTr("Import\u2026")
            iconName: "square.and.arrow.down"
            onClicked: exchange.chooseImport()
        }
    }
    ConversationExchange {
        id: exchange
        objectName: "settingsExchange"
        width: 0
        height: 0
    }
}
