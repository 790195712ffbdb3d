"""Shared helpers for the test suite: the HTTPS test server, the Windows `os`
stand-in and the runtime side of scenario scripts."""
