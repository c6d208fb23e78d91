#!/usr/bin/python
# Installing a signed data package where the appliance has another version.

DOCUMENTATION = r'''
module: mif_data_package
short_description: Installs a signed data package on an appliance that holds another version
description:
  - Compares the appliance's data package version (C(datpak.ver), reported as RCPK) with the package's; C(ok) when
    they are the same.
  - Otherwise uploads the package with its signature (C(MCH_INSTALL_DATA)); the appliance checks the signature and
    unpacks it. The version is read back afterwards; another version fails the task.
  - Check mode compares only.
extends_documentation_fragment: mif.appliance.connection
options:
  package:
    description: The package on the controller, a gzip-compressed tar archive.
    type: path
    required: true
  signature:
    description: Its 256-byte signature (default I(package) with C(.sig) appended).
    type: path
  version:
    description: The version the package brings; default the content of its C(datpak.ver) member.
    type: str
'''

EXAMPLES = r'''
- name: Install the line's data package
  mif.appliance.mif_data_package:
    host: "{{ mif_host }}"
    key: /etc/mif/keys/line-production.pem
    package: files/datapackage-2026.02.tar.gz
'''

RETURN = r'''
answer:
  description: The daemon's answer to the installation.
  returned: when installed
  type: str
previous:
  description: The version before.
  returned: always
  type: str
version:
  description: The version the appliance holds after the task (in check mode, the one it would hold).
  returned: success
  type: str
'''

import tarfile

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.mif.appliance.plugins.module_utils.mif_common import argument_spec, run_module


def package_version(module, path):
    try:
        with tarfile.open(path, "r:gz") as tar:
            for member in tar.getmembers():
                if member.isfile() and member.name.lstrip("./") == "datpak.ver":
                    return tar.extractfile(member).read().decode(errors="replace").strip()
    except (OSError, tarfile.TarError) as error:
        module.fail_json(msg=f"cannot read {path}: {error}")
    module.fail_json(msg=f"{path} has no datpak.ver; give version")


def install(module, session):
    p = module.params
    wanted = p["version"] if p["version"] is not None else package_version(module, p["package"])
    current = session.serial()["RCPK"].strip()
    result = dict(previous=current, version=wanted)
    if current == wanted:
        return dict(result, changed=False)
    if module.check_mode:
        return dict(result, changed=True, msg=f"would install {wanted} (now {current or 'none'})")
    answer = session.install_data(p["package"], p["signature"])
    result["answer"] = answer.text
    if answer.nak:
        module.fail_json(msg=f"MCH_INSTALL_DATA: {answer.text}", **result)
    after = session.serial()["RCPK"].strip()
    if after != wanted:
        module.fail_json(msg=f"the daemon answered {answer.text} but the appliance reports the version {after!r}",
                         **dict(result, version=after))
    return dict(result, changed=True)


def main():
    module = AnsibleModule(argument_spec=argument_spec(
        package=dict(type="path", required=True), signature=dict(type="path"), version=dict(type="str")),
        supports_check_mode=True)
    run_module(module, install)


if __name__ == "__main__":
    main()
