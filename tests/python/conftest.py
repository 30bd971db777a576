import signal

# A suite started as a background job (`nohup`, `&` in a script) inherits
# SIGINT ignored, and Python then installs no KeyboardInterrupt handler: the
# tests of Ctrl-C would see nothing. They need Python's own handler.
signal.signal(signal.SIGINT, signal.default_int_handler)
