"""The DHCP settings that point units' firmware HTTP boot at the server."""

from __future__ import annotations

# The vendor class a UEFI HTTP boot client sends (option 60) and wants back in the answer.
HTTP_CLIENT = "HTTPClient"


def dnsmasq(url: str, interface: str, dhcp_range: str) -> str:
    """A dnsmasq configuration for a deployment network of its own (no other DHCP server: in
    proxy-DHCP mode dnsmasq does not answer HTTP boot clients)."""
    return "\n".join([
        "# dnsmasq: DHCP only (no DNS), on the deployment network's interface",
        "port=0",
        f"interface={interface}",
        "bind-interfaces",
        f"dhcp-range={dhcp_range}",
        f"dhcp-vendorclass=set:http,{HTTP_CLIENT}",
        f"dhcp-option-force=tag:http,60,{HTTP_CLIENT}",
        f"dhcp-boot=tag:http,{url}",
    ]) + "\n"


def site_rule(url: str) -> str:
    """The rule for a site's own DHCP server, in words any server's configuration can follow."""
    return "\n".join([
        f"For clients whose vendor class (option 60) begins with \"{HTTP_CLIENT}\":",
        f"  answer option 60 \"{HTTP_CLIENT}\"",
        f"  and the boot file name (option 67 / the file field) {url}",
        "Or, without DHCP changes: the setup menu's HTTP boot URI set to the same URL.",
    ]) + "\n"
