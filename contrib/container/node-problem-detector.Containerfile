# SPDX-License-Identifier: MIT
# node-problem-detector with the kalpex check inside its own image, for nodes
# that take no host package: the rule runs the adapter in the pod, on the
# pod's Mesa or on the graphics user-space a vendor's container runtime
# injects, against the host's /dev/dri.
# It takes the Debian package from the kalpex image's package stage:
#   buildah build -f contrib/container/Containerfile --target package \
#       --build-arg VERSION=1.0.0 -t localhost/kalpex-package:1.0.0 .
#   buildah build -f contrib/container/node-problem-detector.Containerfile \
#       --build-arg VERSION=1.0.0 .
# (make image does both).
ARG VERSION
FROM localhost/kalpex-package:${VERSION} AS package

FROM registry.k8s.io/node-problem-detector/node-problem-detector:v0.8.21
ARG VERSION
ARG SOURCE=https://kalpex.invalid/source
LABEL org.opencontainers.image.title="kalpex-node-problem-detector" \
      org.opencontainers.image.description="node-problem-detector with the kalpex check of every GPU render node given to the pod" \
      org.opencontainers.image.version="$VERSION" \
      org.opencontainers.image.licenses="MIT AND Apache-2.0" \
      org.opencontainers.image.source="$SOURCE"
COPY contrib/container/dpkg-no-documentation /etc/dpkg/dpkg.cfg.d/no-documentation
COPY --from=package /src/build/kalpex_${VERSION}_*.deb /tmp/
COPY contrib/container/install-runtime /usr/local/sbin/
RUN install-runtime /tmp/kalpex_*.deb
# The shipped rule, running the adapter here rather than through nsenter
# on the host.
RUN sed -e 's|"path": "/usr/bin/nsenter"|"path": "/usr/libexec/kalpex/kalpex-monitor"|' \
        -e 's|"--target=1", "--mount", "--root", "--", "/usr/libexec/kalpex/kalpex-monitor", ||' \
        /usr/share/kalpex/node-problem-detector-kalpex.json >/config/kalpex-monitor.json && \
    ! grep -q nsenter /config/kalpex-monitor.json && \
    cp /usr/share/kalpex/node-problem-detector-kalpex-kernel.json /config/kalpex-kernel-monitor.json
ENV NVIDIA_DRIVER_CAPABILITIES=graphics
USER 65532:65532
ENTRYPOINT ["/node-problem-detector", "--logtostderr", "--config.custom-plugin-monitor=/config/kalpex-monitor.json"]
