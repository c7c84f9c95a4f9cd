import QtQuick
import QtQuick.Window
import Quorvane.State
import Quorvane.Types

Window {
    id: window
    readonly property bool isLight: AppState.appearanceMode === Quorvane.Light

    width: 1100
    height: 720
    minimumWidth: 900
    minimumHeight: 600
    visible: true
    title: "Quorvane"
    color: isLight ? "white" : "black"

    ContentView {
        anchors.fill: parent
        isLight: window.isLight
    }
}
