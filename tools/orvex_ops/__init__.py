"""What an operator runs in production: the publisher (orvex-publish: keys,
update packages, client manifests, releases), the patch service
(orvex-patch-service) and its nginx front (orvex-front), and the load test
that measures them.

The publisher is deliberately an independent implementation of the key and
signature formats the launcher checks with BCrypt: a layout mistake on one
side shows up as a failed verification instead of hiding itself.

Modules, lower ones first (a module imports only those above it):
  errors, files      how a command ends early; hashing, fsync, modes, sizes
  keys               signing keys, public-key blobs, development certificates
  deltas             delta entries for the game archives
  launcher_image     what a shipped Launcher.exe must be
  packages           update manifests, patch archives, make-update, make-offline
  client_manifests   Startup.manifest and Integrity.manifest
  lock               one publishing command at a time in a releases folder
  releases           release: everything one version needs, checked
  verify             verify: a releases folder read back, --repair
  deployment         check-deployment: what a launcher build compiles in
  publish            the orvex-publish command line
  patch_service      orvex-patch-service (a WSGI application under gunicorn)
  front              orvex-front (the nginx configuration)
  load_test          many concurrent clients against the service or the front
"""
