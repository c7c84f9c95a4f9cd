import QtQuick
import QtQuick.Controls
import Quorvane

// The first screen: the logo beside the name, the tagline, and the buttons
// that open the model picker or connect to a server elsewhere.
Rectangle {
    id: welcome

    readonly property bool showingModelPicker: picker.visible
    readonly property bool showingConnectDialog: connectDialog.visible
    // The logo is exactly as tall as the text column beside it; 160 until
    // that column has a height.
    readonly property real logoHeight: textColumn.height > 0 ? textColumn.height : 160
    // 200 points on either side of the row, less when the window is too
    // narrow for them, so the row never leaves the window.
    readonly property real sidePadding: Math.max(0, Math.min(200, (width - logo.width - row.spacing
                                                                   - textColumn.width) / 2))

    color: Theme.windowBackground

    // The outlined blue buttons under the tagline.
    component WelcomeButton: AbstractButton {
        id: button
        property string iconName
        hoverEnabled: true
        leftPadding: 18
        rightPadding: 18
        topPadding: 8
        bottomPadding: 8
        focusPolicy: Qt.TabFocus
        Accessible.role: Accessible.Button
        Accessible.name: text

        contentItem: Row {
            spacing: 6
            Icon {
                anchors.verticalCenter: parent.verticalCenter
                name: button.iconName
                size: 14
                color: Theme.blue
            }
            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: button.text
                font.pixelSize: 12
                font.weight: Font.DemiBold
                color: Theme.blue
            }
        }
        background: Rectangle {
            radius: 10
            color: "transparent"
            border.width: 2
            border.color: Theme.blue
        }
    }

    Row {
        id: row
        objectName: "welcomeRow"
        anchors.centerIn: parent
        spacing: 16
        leftPadding: welcome.sidePadding
        rightPadding: welcome.sidePadding

        QuorvaneLogo {
            id: logo
            objectName: "welcomeLogo"
            anchors.verticalCenter: parent.verticalCenter
            height: welcome.logoHeight
            color: Theme.primary
        }

        Column {
            id: textColumn
            objectName: "welcomeColumn"
            anchors.verticalCenter: parent.verticalCenter

            Text {
                text: "Quorvane"
                font.pixelSize: 36
                font.bold: true
                color: Theme.primary
            }

            Text {
                topPadding: 10
                text: qsTr("Your Personal AI Model Runner")
                font.pixelSize: 13
                color: Theme.secondary
            }

            Item {
                width: 1
                height: 20
            }

            Row {
                spacing: 10
                WelcomeButton {
                    text: qsTr("Add Model")
                    iconName: "plus.circle.fill"
                    onClicked: picker.open()
                }
                WelcomeButton {
                    text: qsTr("Connect to a server")
                    iconName: "link"
                    onClicked: connectDialog.open()
                }
            }
        }
    }

    ModelPickerView {
        id: picker
    }

    ConnectServerDialog {
        id: connectDialog
    }
}
