// Placeholder; the stream framer lands with the network library work.
