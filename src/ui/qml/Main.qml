import QtQuick
import QtQuick.Window
import Quorvane

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
        anchors.fill: parent
    }
}
