import QtQuick
import Quorvane

// Placeholder until the screen is built.
Item {
}
