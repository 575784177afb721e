// The terminal frontend of the modes cli and log.
