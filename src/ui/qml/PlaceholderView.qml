import QtQuick
import Quorvane.State

// Stands in for a screen that is not built yet: says which screen it is and
// a line of what the application holds.
Rectangle {
    id: root
    property string title
    property bool isLight: false

    color: isLight ? "white" : Qt.rgba(0.07, 0.07, 0.07, 1)
    Accessible.role: Accessible.Pane
    Accessible.name: title

    Column {
        anchors.centerIn: parent
        spacing: 8
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: root.title
            font.pixelSize: 28
            font.bold: true
            color: root.isLight ? "black" : "white"
        }
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: AppState.chatSessionCount + " conversations · "
                  + AppState.downloadedModelCount + " models"
                  + (AppState.selectedModelName.length > 0 ? " · " + AppState.selectedModelName : "")
            font.pixelSize: 14
            color: "gray"
        }
    }
}
