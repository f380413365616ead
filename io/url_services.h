// The file and HTTP services of the io layer, installed where the file! and
// url! actions look for them (url::services).
#pragma once

namespace oru::url_services {

// Fills url::services with simple_io's and http's entry points.
void install();

}  // namespace oru::url_services
