"""corvane: path objects for local and remote file systems."""
