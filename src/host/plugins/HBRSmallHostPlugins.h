#pragma once

// Registers the host's own plugin classes by name (navigation filter, connection, logger,
// launch screen, gesture handler, open-URL handler), so that "config.xml" can name them.
// The application calls it once at start, before the host reads its configuration.
void HBRRegisterSmallHostPlugins();
