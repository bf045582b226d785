#pragma once
// Starts the terminal's side of the fleet (catalogue from the store and the
// status file) once uploads have a store, and ties it to the main window.

#include <memory>

class QWidget;
class fleet_agent;
class s3_client;

// Null when there is no store or no machine_id to report under. Installs the
// upload client that tells the agent when an upload ended.
std::shared_ptr<fleet_agent> startFleetAgent(std::shared_ptr<s3_client> store);

// No catalogue look while the capture page is shown.
void followCapturePage(fleet_agent& agent, QWidget& mainWindow);
