import QtQuick

// One icon by its symbol name ("gearshape", "sidebar.left", ...), drawn
// with the Material Icons font. Every symbol the screens use is mapped
// here, in one place.
Text {
    id: icon
    property string name
    property real size: 16

    readonly property var ligatures: ({
        "sidebar.left": "view_sidebar",
        "gearshape": "settings",
        "plus": "add",
        "magnifyingglass": "search",
        "ellipsis": "more_horiz",
        "trash": "delete",
        "sun.max": "light_mode",
        "moon": "dark_mode",
        "paperclip": "attach_file",
        "arrow.up": "arrow_upward",
        "stop.fill": "stop",
        "doc.fill": "insert_drive_file",
        "doc.text.fill": "description",
        "arrow.up.circle.fill": "arrow_circle_up",
        "stop.circle.fill": "stop_circle",
        "doc.on.doc": "content_copy",
        "checkmark": "check",
        "xmark.circle.fill": "cancel",
        "xmark": "close",
        "doc": "description",
        "doc.text": "description",
        "doc.richtext": "article",
        "photo": "image",
        "person.fill": "person",
        "brain": "psychology",
        "cpu": "memory",
        "sparkles": "auto_awesome",
        "arrow.down.circle": "download",
        "externaldrive": "storage",
        "exclamationmark.triangle": "warning",
        "checkmark.circle.fill": "check_circle",
        "folder": "folder",
        "link": "link",
        "info.circle": "info",
        "cube.box": "inventory_2",
        "cube.fill": "view_in_ar",
        "circle.grid.3x3.fill": "apps",
        "arrow.down.circle.fill": "download_for_offline",
        "memorychip": "memory",
        "exclamationmark.triangle.fill": "warning",
        "doc.badge.plus": "note_add",
        "folder.fill": "folder",
        "slider.horizontal.3": "tune",
        "plus.circle.fill": "add_circle",
        "hourglass": "hourglass_empty",
        "arrow.clockwise": "refresh",
        "arrow.uturn.backward": "undo",
        "pencil": "edit",
        "chevron.left": "chevron_left",
        "chevron.right": "chevron_right",
        "square.and.arrow.up": "ios_share",
        "square.and.arrow.down": "file_download"
    })

    // Glyphs the font draws facing the other way: "view_sidebar" has its
    // panel on the right, the leading sidebar is on the left.
    readonly property var mirrored: ({ "sidebar.left": true })

    text: ligatures[name] !== undefined ? ligatures[name] : name
    transform: Scale {
        origin.x: icon.width / 2
        xScale: icon.mirrored[icon.name] ? -1 : 1
    }
    font.family: "Material Icons"
    font.pixelSize: size
    horizontalAlignment: Text.AlignHCenter
    verticalAlignment: Text.AlignVCenter
    Accessible.ignored: true
}
