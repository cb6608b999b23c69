#pragma once

// The program hands its icons (the resource files by id and drawn size) to
// the dialog framework. Once per process, on the UI thread, before the first
// dialog; again changes nothing.

namespace quellis::resources
{

void HandIconsToPlatform();

} // namespace quellis::resources
