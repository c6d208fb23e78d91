#!/usr/bin/python
# Facts of one appliance: identity, versions, data package, calibration, clock.

DOCUMENTATION = r'''
module: mif_facts
short_description: Reads an appliance's serials, versions, data package, calibration table and clock
description:
  - Reads the identity answer (serial numbers and versions), the scale's calibration table and
    machine control's clock, and returns them as the fact C(mif).
  - Reads only; the appliance is never changed, so check mode runs it as usual.
extends_documentation_fragment: mif.appliance.connection
'''

EXAMPLES = r'''
- name: Learn about the appliance
  mif.appliance.mif_facts:
    host: "{{ mif_host }}"
    role: testlab

- ansible.builtin.debug:
    msg: "{{ inventory_hostname }} has serial {{ mif.serial }} and package {{ mif.data_package }}"
'''

RETURN = r'''
ansible_facts:
  description: The fact C(mif).
  returned: success
  type: dict
  contains:
    mif:
      description: What the appliance reports.
      type: dict
      contains:
        identity:
          description: The identity answer by the daemon's keys (QX, FE, BE, SWFE, BEHW, SWMC, SWPC, RCPK, FEAN), as strings.
          type: dict
        serial:
          description: The appliance serial (QX); "0" when none is set.
          type: str
        versions:
          description: Front-end software, machine-control software, second software word, backend hardware.
          type: dict
        data_package:
          description: The data package version (RCPK) without its line end.
          type: str
        calibration:
          description: The calibration table as [grams, AD value] pairs in ascending grams.
          type: list
        clock_ms:
          description: Machine control's clock in milliseconds (null when the key's level cannot read it).
          type: int
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.mif.appliance.plugins.module_utils.mif_common import argument_spec, run_module


def facts(module, session):
    identity = session.serial()
    clock = session.command("MCH_GET_SYSTIME")
    return dict(changed=False, ansible_facts=dict(mif=dict(
        identity=identity,
        serial=identity["QX"],
        versions=dict(front_end=identity["SWFE"], machine_control=identity["SWMC"], second_word=identity["SWPC"],
                      backend_hardware=identity["BEHW"], backend_serial=identity["BE"]),
        data_package=identity["RCPK"].strip(),
        calibration=[list(p) for p in session.calibration()],
        clock_ms=None if clock.nak else int(clock.text),
    )))


def main():
    module = AnsibleModule(argument_spec=argument_spec(), supports_check_mode=True)
    run_module(module, facts)


if __name__ == "__main__":
    main()
