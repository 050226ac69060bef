# Journal entries in export format (journalctl -o export
# --output-fields=MESSAGE: other fields may be binary), one line each:
# "BOOT_ID REALTIME MONOTONIC MESSAGE". An entry that journal-upload sends
# again after a restart has the same first three fields.
/^$/ { if (m != "") print b, r, t, m; b = r = t = m = ""; next }
/^_BOOT_ID=/ { b = substr($0, 10) }
/^__REALTIME_TIMESTAMP=/ { r = substr($0, 22) }
/^__MONOTONIC_TIMESTAMP=/ { t = substr($0, 23) }
/^MESSAGE=/ { m = substr($0, 9) }
