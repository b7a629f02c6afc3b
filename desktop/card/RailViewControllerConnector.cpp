// The card in connector mode: it shows the web connector's status and the guidance it received
// instead of host analyses, and never offers a switch.
//
// Not built yet: these operations leave the card unchanged until connector mode is written here.

#include "desktop/card/RailViewController.h"

namespace quillmere {

void RailViewController::configureConnector(QWidget*) {}

void RailViewController::showConnectorState(const QString&, bool) {}

void RailViewController::showConnectorGuidance(const ConnectorGuidance&) {}

void RailViewController::detachConnector() {}

void RailViewController::syncConnectorAccessibility() {}

} // namespace quillmere
