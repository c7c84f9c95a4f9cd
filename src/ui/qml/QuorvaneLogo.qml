import QtQuick
import Quorvane

// The application's mark: the arch drawn in a frame `height` high and
// 1.064 times as wide. Decorative, so assistive technology skips it.
Item {
    id: logo

    property color color: Theme.primary

    implicitHeight: 160
    implicitWidth: height * 1.064
    Accessible.ignored: true

    QuorvaneArch {
        anchors.fill: parent
        outerRadius: 133
        stroke: 25
        baseBar: 28
        color: logo.color
    }
}
