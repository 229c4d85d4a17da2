// Sub-commands of camctl; each takes the arguments after its own name and
// returns the process exit status.
#ifndef CAMCTL_COMMANDS_H
#define CAMCTL_COMMANDS_H

int cmd_stream(int argc, char** argv);
int cmd_snap(int argc, char** argv);
int cmd_list(int argc, char** argv);
int cmd_ctrl(int argc, char** argv);
int cmd_dsp(int argc, char** argv);
int cmd_sensor(int argc, char** argv);
int cmd_serve(int argc, char** argv);
int cmd_record(int argc, char** argv);

#endif  // CAMCTL_COMMANDS_H
