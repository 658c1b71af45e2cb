// Platform layer: process.
